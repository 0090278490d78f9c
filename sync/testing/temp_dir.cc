#include "sync/testing/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

namespace quillet {
namespace testing {

TempDir::TempDir() {
#if defined(_WIN32)
  // No mkdtemp: try fresh random names until one can be created.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::temp_directory_path() / ("quillet-test-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
  }
  if (path_.empty()) throw std::runtime_error("cannot create a temporary directory");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
  if (!mkdtemp(&pattern[0])) throw std::runtime_error("cannot create a temporary directory");
  path_ = pattern;
#endif
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing
}  // namespace quillet
