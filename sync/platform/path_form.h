// The forms a path takes between what a host passes and what the system calls accept.
//
// Hosts hand in paths as their toolkits write them: forward slashes, both separators mixed,
// the "\\?\" prefix, deep trees past MAX_PATH. The rules of each style are pure functions
// of the text, so that the Windows ones are tested on every platform; kNativeStyle picks
// the running platform's. Only separators and prefixes are touched: every other code unit
// (a non-BMP character's surrogate pair included) keeps its place, so a file's name on
// disk is what it always was.
#ifndef QUILLET_SYNC_PLATFORM_PATH_FORM_H_
#define QUILLET_SYNC_PLATFORM_PATH_FORM_H_

#include <cstddef>
#include <string>

#include "sync/platform/text.h"

namespace quillet {
namespace platform {

enum class PathStyle { kPosix, kWindows };

#if defined(_WIN32)
constexpr PathStyle kNativeStyle = PathStyle::kWindows;
#else
constexpr PathStyle kNativeStyle = PathStyle::kPosix;
#endif

// Paths of this many UTF-16 units or more get LongPathForm's prefix: CreateDirectoryW's
// limit (MAX_PATH less room for an 8.3 file name), the lowest of the calls the library uses.
constexpr size_t kLongPathUnits = 248;

// The path in the form the library works with. Windows: "/" is a separator like "\", and
// runs of separators become one, except the two that begin a UNC or "\\?\" path; the
// "\\?\" and "\\.\" prefixes stay as they are. POSIX: unchanged ("\" is a character of a
// name there).
WString NormalisePath(const WString& path, PathStyle style = kNativeStyle);

// Units of the path's root, 0 for a relative path. POSIX "/"; Windows "C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\" (the share's trailing separator counted when present).
// A rooted path without a drive ("\x") has the root "\". Works on normalised paths.
size_t RootLength(const WString& path, PathStyle style = kNativeStyle);
size_t RootLength(const std::string& path, PathStyle style = kNativeStyle);

// True when the path starts with "\\?\" or "\\.\": Windows hands it to the file system
// as it stands.
bool IsVerbatimPath(const WString& path);

// The form a Windows call accepts past MAX_PATH: a normalised absolute path of
// kLongPathUnits units or more becomes "\\?\C:\..." or "\\?\UNC\server\share\...", with
// "." and ".." components resolved first (the prefix turns Windows' own resolution off).
// Shorter, relative, drive-less and verbatim paths are returned unchanged, as is every
// POSIX path.
WString LongPathForm(const WString& path, PathStyle style = kNativeStyle);

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_PATH_FORM_H_
