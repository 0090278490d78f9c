#include "sync/session/session_registry.h"

namespace quillet {

SessionRegistry& Sessions() {
  static SessionRegistry registry;
  return registry;
}

SyncSession* FindSession(const WString& syncType) {
  const auto it = Sessions().find(syncType);
  return it == Sessions().end() ? nullptr : it->second.get();
}

}  // namespace quillet
