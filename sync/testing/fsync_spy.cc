#include "sync/testing/fsync_spy.h"

#include <cerrno>
#include <mutex>

#include "sync/testing/write_faults.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace quillet {
namespace testing {
namespace {

std::mutex& SpyMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::string>& Synced() {
  static std::vector<std::string> paths;
  return paths;
}

}  // namespace

std::vector<std::string> TakeSyncedPaths() {
  std::lock_guard<std::mutex> lock(SpyMutex());
  std::vector<std::string> taken;
  taken.swap(Synced());
  return taken;
}

}  // namespace testing
}  // namespace quillet

#if !defined(_WIN32)
extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static const Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
  char path[PATH_MAX + 1];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), path, PATH_MAX);
  if (n > 0) {
    std::lock_guard<std::mutex> lock(quillet::testing::SpyMutex());
    quillet::testing::Synced().emplace_back(path, static_cast<size_t>(n));
  }
  // The delivery journal's syncs take part in the write faults (SQLite's own files are
  // failed in the VFS, before they get here).
  if (n > 0 && std::string(path, static_cast<size_t>(n)).find("Quillet.delivery.") !=
                   std::string::npos) {
    int error = 0;
    if (quillet::testing::NextWriteFails(&error, true)) {
      errno = error;
      return -1;
    }
  }
  return real != nullptr ? real(fd) : -1;
}
#endif
