// The process-wide device id cache: "Other" until a transport has read a device id.
#ifndef QUILLET_SYNC_NET_DEVICE_ID_H_
#define QUILLET_SYNC_NET_DEVICE_ID_H_

#include "sync/platform/text.h"

namespace quillet {

// Both are thread-safe.
WString DeviceIdCache();
// An empty id leaves the cache unchanged: it holds the last non-empty id read.
void StoreDeviceIdCache(const WString& deviceId);

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_DEVICE_ID_H_
