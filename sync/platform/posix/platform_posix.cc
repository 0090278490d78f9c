// POSIX implementation of the platform layer.
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sync/platform/platform.h"

namespace quillet {
namespace platform {

const char16_t kPathSeparator = u'/';

bool TruncateFile(std::FILE* file, long long size) {
  return file != nullptr && ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

// The narrow code page is UTF-8 here.
std::string WideToAnsi(const WString& wide) { return WideToUtf8(wide); }
WString AnsiToWide(const std::string& ansi) { return Utf8ToWide(ansi); }

WString ExecutablePath() {
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return WString();
  return AnsiToWide(std::string(buf, static_cast<size_t>(n)));
}

bool DirectoryExists(const std::string& ansiPath) {
  struct stat st;
  return stat(ansiPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& ansiPath) {
  struct stat st;
  return stat(ansiPath.c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& ansiPath, bool* accessDenied) {
  if (accessDenied) *accessDenied = false;
  if (mkdir(ansiPath.c_str(), 0755) == 0) return true;
  if (accessDenied) *accessDenied = (errno == EACCES || errno == EPERM);
  return false;
}

bool SetHidden(const std::string& /*ansiPath*/) { return true; }

bool IsAbsolutePath(const std::string& ansiPath) { return !ansiPath.empty() && ansiPath[0] == '/'; }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace platform
}  // namespace quillet
