#include "sync/net/net_factory.h"

#include "sync/net/client_variants.h"

namespace quillet {

NetInterfacePtr CreateNetInterface(const NetConfig& config) {
  // Exact comparison: "Browser" or "calendars" have no client.
  if (config.SyncType == u"browser") return NetInterfacePtr(new BrowserNetInterface(config));
  if (config.SyncType == u"calendar") return NetInterfacePtr(new CalendarNetInterface(config));
  return nullptr;
}

}  // namespace quillet
