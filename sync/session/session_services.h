// What a session calls outside itself: logging start, the store, the protocol client
// factory and the passes. Production sessions use Default(); tests substitute parts.
#ifndef QUILLET_SYNC_SESSION_SESSION_SERVICES_H_
#define QUILLET_SYNC_SESSION_SESSION_SERVICES_H_

#include <atomic>
#include <functional>

#include "sync/common/records.h"
#include "sync/net/net_interface.h"

namespace quillet {

struct SessionServices {
  std::function<bool(const WString& logDir)> initLogger;
  std::function<bool(const WString& userId, const WString& dataDir)> initDataBase;
  std::function<bool(const WString& dataType, const WString& ctag)> updateCtag;
  std::function<NetInterfacePtr(const NetConfig& config)> createNetInterface;
  std::function<bool(const WString& dataType)> checkAndInsertCtag;
  std::function<int(NetConfig, const WString& dataType, int batchNumber, const WString& ctag,
                    INetInterface* net, const std::atomic<bool>& stop)>
      downloadPass;
  std::function<int(NetConfig, const WString& dataType, int batchNumber, INetInterface* net,
                    const std::atomic<bool>& stop)>
      uploadPass;

  // The library's own logging, store, factory and passes.
  static SessionServices Default();
};

}  // namespace quillet

#endif  // QUILLET_SYNC_SESSION_SESSION_SERVICES_H_
