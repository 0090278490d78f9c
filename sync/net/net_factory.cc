#include "sync/net/net_factory.h"

namespace quillet {

// No client variant is built yet, so no sync type has a client and sync calls stop with
// the "no client" code.
NetInterfacePtr CreateNetInterface(const NetConfig& /*config*/) { return nullptr; }

}  // namespace quillet
