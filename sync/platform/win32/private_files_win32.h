// Windows: whether an open file or folder handle is the user's own, from its owner SID, its
// access list and its link count. Shared by the platform layer's Windows files.
#ifndef QUILLET_SYNC_PLATFORM_WIN32_PRIVATE_FILES_WIN32_H_
#define QUILLET_SYNC_PLATFORM_WIN32_PRIVATE_FILES_WIN32_H_

#include <windows.h>

#include "sync/platform/platform.h"

namespace quillet {
namespace platform {

// A regular disk file (not a reparse point, folder or device), owned by the user (or by the
// owner the user's token gives new objects), with a single name. The handle needs
// READ_CONTROL.
Trust TrustOfFileHandle(HANDLE handle);

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_WIN32_PRIVATE_FILES_WIN32_H_
