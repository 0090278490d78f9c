// One protocol client class per supported sync type; both behave as AppNetInterface.
#ifndef QUILLET_SYNC_NET_CLIENT_VARIANTS_H_
#define QUILLET_SYNC_NET_CLIENT_VARIANTS_H_

#include "sync/net/app_net_interface.h"

namespace quillet {

// The destructors stop the timer before the object stops being of their class, so that a
// tick never calls into an object being torn down.
class BrowserNetInterface : public AppNetInterface {
 public:
  explicit BrowserNetInterface(const NetConfig& config) : AppNetInterface(config) {}
  ~BrowserNetInterface() override;
};

class CalendarNetInterface : public AppNetInterface {
 public:
  explicit CalendarNetInterface(const NetConfig& config) : AppNetInterface(config) {}
  ~CalendarNetInterface() override;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_CLIENT_VARIANTS_H_
