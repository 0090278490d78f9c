// The process-wide sessions, one per sync type, ordered by UTF-16 code units.
// Not thread-safe: the exports that use it are called from one host thread at a time.
#ifndef QUILLET_SYNC_SESSION_SESSION_REGISTRY_H_
#define QUILLET_SYNC_SESSION_SESSION_REGISTRY_H_

#include <functional>
#include <map>
#include <memory>

#include "sync/session/sync_session.h"

namespace quillet {

using SessionRegistry = std::map<WString, std::unique_ptr<SyncSession>>;

SessionRegistry& Sessions();
// The session of syncType, or null.
SyncSession* FindSession(const WString& syncType);

// The services given to sessions that InitCloudSync builds from now on; Default() unless
// replaced. Tests replace them to observe a session behind the C exports. Passing an
// empty function restores the default.
void SetSessionServicesFactory(std::function<SessionServices()> factory);
SessionServices ServicesForNewSession();

}  // namespace quillet

#endif  // QUILLET_SYNC_SESSION_SESSION_REGISTRY_H_
