// The platform layer of the sync library: the few operating-system services the portable
// code needs. One implementation per platform (posix/, win32/), chosen by the build.
//
// "ANSI" is the system's narrow code page: CP_ACP on Windows, UTF-8 on POSIX. Paths handed
// to these functions are in that form. All functions are thread-safe and report failure
// through their results; none throws.
#ifndef QUILLET_SYNC_PLATFORM_PLATFORM_H_
#define QUILLET_SYNC_PLATFORM_PLATFORM_H_

#include <cstdio>
#include <string>

#include "sync/platform/text.h"

namespace quillet {
namespace platform {

// The path separator: '\\' on Windows, '/' on POSIX.
extern const char16_t kPathSeparator;

std::string WideToAnsi(const WString& wide);
WString AnsiToWide(const std::string& ansi);

// Full path of the executable of the hosting process; empty when it cannot be read.
WString ExecutablePath();

// True when the path names an existing directory / an existing file of any kind.
bool DirectoryExists(const std::string& ansiPath);
bool PathExists(const std::string& ansiPath);

// Creates one directory level. On failure returns false and sets *accessDenied when the
// system refused for lack of rights.
bool MakeDirectory(const std::string& ansiPath, bool* accessDenied);

// Marks a file or directory hidden where the platform has such an attribute; a no-op that
// succeeds elsewhere.
bool SetHidden(const std::string& ansiPath);

// True when the path is absolute: starts with the separator on POSIX; a drive ("C:\") or a
// "\\" prefix on Windows.
bool IsAbsolutePath(const std::string& ansiPath);

unsigned long ProcessId();

// Cuts an open file to size bytes (nothing of it may wait in the stream's buffer).
bool TruncateFile(std::FILE* file, long long size);

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_PLATFORM_H_
