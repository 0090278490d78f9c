#include "sync/testing/file_modes.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace quillet {
namespace testing {

namespace fs = std::filesystem;

#if defined(_WIN32)
ScopedUmask::ScopedUmask(unsigned mask) { (void)mask; }
ScopedUmask::~ScopedUmask() = default;
#else
ScopedUmask::ScopedUmask(unsigned mask) : previous_(::umask(static_cast<mode_t>(mask))) {}
ScopedUmask::~ScopedUmask() { ::umask(static_cast<mode_t>(previous_)); }
#endif

int ModeOf(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error || !fs::exists(status)) return -1;
  return static_cast<int>(status.permissions() & fs::perms::mask);
}

std::vector<std::string> OpenToOthers(const std::string& root) {
  std::vector<std::string> open;
#if !defined(_WIN32)
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
       it.increment(error)) {
    const std::string path = it->path().string();
    const int mode = ModeOf(path);
    if (mode >= 0 && (mode & 077) != 0) {
      char octal[16];
      snprintf(octal, sizeof(octal), "%03o", mode);
      open.push_back(path + " " + octal);
    }
  }
#else
  (void)root;
#endif
  return open;
}

}  // namespace testing
}  // namespace quillet
