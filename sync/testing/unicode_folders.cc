#include "sync/testing/unicode_folders.h"

#include "sync/platform/platform.h"

namespace quillet {
namespace testing {

std::string MakeUnicodeFolder(const std::string& base, size_t minLength) {
  std::string folder = base;
  const char* const levels[] = {"\xE8\x8C\xB6 \xE2\x98\x95 app", "\xF0\x9F\x98\x80 profile",
                                "Caf\xC3\xA9 \xC3\x9Cn\xC3\xAF"};
  size_t next = 0;
  while (folder.size() < minLength || next < 3) {
    folder += "/";
    folder += next < 3 ? levels[next] : "a folder with a rather long name";
    ++next;
    if (!platform::MakeDirectory(folder, nullptr) && !platform::DirectoryExists(folder)) {
      return std::string();
    }
  }
  return folder;
}

}  // namespace testing
}  // namespace quillet
