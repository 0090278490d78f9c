#include "sync/net/device_id.h"

#include <mutex>

#include "sync/platform/platform.h"
#include "sync/platform/system_info.h"

namespace quillet {
namespace {

const char16_t kInitialDeviceId[] = u"Other";

std::mutex& CacheMutex() {
  static std::mutex mutex;
  return mutex;
}

WString& Cache() {
  static WString cache = kInitialDeviceId;
  return cache;
}

SerialReader& Reader() {
  static SerialReader reader;
  return reader;
}

int ReadSerial(char16_t* buffer) {
  SerialReader reader;
  {
    std::lock_guard<std::mutex> lock(CacheMutex());
    reader = Reader();
  }
  return reader ? reader(buffer) : platform::GetBiosSerialNumber(buffer);
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

WString ReadDeviceId() {
  char16_t buffer[platform::kSerialBufferUnits] = {0};
  if (ReadSerial(buffer) != platform::kSerialOk) return DeviceIdCache();
  // The reader terminates within the buffer; the last unit bounds a reader that did not.
  buffer[platform::kSerialBufferUnits - 1] = 0;
  const WString id = Utf8ToWide(platform::WideToAnsi(WString(buffer)));
  StoreDeviceIdCache(id);
  return id;
}

void SetSerialReaderForTesting(SerialReader reader) {
  std::lock_guard<std::mutex> lock(CacheMutex());
  Reader() = std::move(reader);
}

void ResetDeviceIdCacheForTesting() {
  std::lock_guard<std::mutex> lock(CacheMutex());
  Cache() = kInitialDeviceId;
}

}  // namespace quillet
