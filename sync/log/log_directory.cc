#include "sync/log/log_directory.h"

#include "sync/platform/platform.h"

namespace quillet {

bool CreateLogDirectory(const std::string& ansiPath) {
  if (!platform::IsAbsolutePath(ansiPath)) return false;
  const char sep = static_cast<char>(platform::kPathSeparator);
  // Start after the root ("/", "C:\" or "\\server\"): it exists or nothing can be made.
  size_t at = ansiPath.find(sep);
  while (at != std::string::npos && at + 1 < ansiPath.size()) {
    const size_t next = ansiPath.find(sep, at + 1);
    const std::string prefix = ansiPath.substr(0, next);
    if (!prefix.empty() && prefix.back() != sep && !platform::DirectoryExists(prefix)) {
      if (!platform::MakeDirectory(prefix, nullptr) && !platform::DirectoryExists(prefix)) {
        return false;
      }
    }
    at = next;
  }
  return platform::DirectoryExists(ansiPath);
}

}  // namespace quillet
