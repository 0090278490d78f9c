#ifndef QUILLET_SYNC_NET_NET_FACTORY_H_
#define QUILLET_SYNC_NET_NET_FACTORY_H_

#include "sync/common/records.h"
#include "sync/net/net_interface.h"

namespace quillet {

// A new protocol client for config.SyncType, owned by the caller; null when the sync type
// has no client.
NetInterfacePtr CreateNetInterface(const NetConfig& config);

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_NET_FACTORY_H_
