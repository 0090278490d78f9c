#include "sync/testing/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace quillet {
namespace testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
  if (!mkdtemp(&pattern[0])) throw std::runtime_error("cannot create a temporary directory");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing
}  // namespace quillet
