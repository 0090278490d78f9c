// A fresh directory under the system temp folder, removed with everything in it when the
// object goes.
#ifndef QUILLET_SYNC_TESTING_TEMP_DIR_H_
#define QUILLET_SYNC_TESTING_TEMP_DIR_H_

#include <string>

namespace quillet {
namespace testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path without a trailing separator.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
#if defined(_WIN32)
    return path_ + "\\" + name;
#else
    return path_ + "/" + name;
#endif
  }

 private:
  std::string path_;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_TEMP_DIR_H_
