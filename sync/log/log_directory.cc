#include "sync/log/log_directory.h"

#include "sync/platform/path_form.h"
#include "sync/platform/platform.h"

namespace quillet {

bool CreateLogDirectory(const std::string& path) {
  if (!platform::IsAbsolutePath(path)) return false;
  const char sep = static_cast<char>(platform::kPathSeparator);
  // Start after the root ("/", "C:\", "\\server\share\", "\\?\C:\"): it exists or
  // nothing can be made.
  const size_t root = platform::RootLength(path);
  if (root == 0) return false;
  size_t at = root;
  while (at < path.size()) {
    size_t next = path.find(sep, at);
    if (next == std::string::npos) next = path.size();
    const std::string prefix = path.substr(0, next);
    if (next > at && !platform::DirectoryExists(prefix) &&
        !platform::MakeDirectory(prefix, nullptr) && !platform::DirectoryExists(prefix)) {
      return false;
    }
    at = next + 1;
  }
  return platform::DirectoryExists(path);
}

}  // namespace quillet
