#include "sync/net/device_id.h"

#include <mutex>

namespace quillet {
namespace {

std::mutex& CacheMutex() {
  static std::mutex mutex;
  return mutex;
}

WString& Cache() {
  static WString cache = u"Other";
  return cache;
}

}  // namespace

WString DeviceIdCache() {
  std::lock_guard<std::mutex> lock(CacheMutex());
  return Cache();
}

void StoreDeviceIdCache(const WString& deviceId) {
  if (deviceId.empty()) return;
  std::lock_guard<std::mutex> lock(CacheMutex());
  Cache() = deviceId;
}

}  // namespace quillet
