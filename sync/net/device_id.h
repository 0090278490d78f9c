// The device id that the transport puts into its credentials: the BIOS serial, or the
// process-wide cache of the last non-empty id read ("Other" until one was read).
#ifndef QUILLET_SYNC_NET_DEVICE_ID_H_
#define QUILLET_SYNC_NET_DEVICE_ID_H_

#include <functional>

#include "sync/platform/text.h"

namespace quillet {

// All functions are thread-safe.
WString DeviceIdCache();
// An empty id leaves the cache unchanged: it holds the last non-empty id read.
void StoreDeviceIdCache(const WString& deviceId);

// Reads the serial once: on success the serial (ANSI bytes read back as UTF-8), which also
// replaces the cache when not empty; on failure the cached id.
WString ReadDeviceId();

// Where ReadDeviceId gets the serial: a function like platform::GetBiosSerialNumber. Tests
// point it at their own source; an empty function restores the platform's.
using SerialReader = std::function<int(char16_t* buffer)>;
void SetSerialReaderForTesting(SerialReader reader);
// Puts the cache back to "Other".
void ResetDeviceIdCacheForTesting();

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_DEVICE_ID_H_
