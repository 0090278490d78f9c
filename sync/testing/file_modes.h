// What other users of the machine could reach of the files a test made. POSIX modes only:
// on Windows nothing counts as open and the umask is not touched. Tests only.
#ifndef QUILLET_SYNC_TESTING_FILE_MODES_H_
#define QUILLET_SYNC_TESTING_FILE_MODES_H_

#include <string>
#include <vector>

namespace quillet {
namespace testing {

// Sets a process umask for the object's life: 022 by default, a user's usual one, under
// which files come out readable by everyone unless made otherwise.
class ScopedUmask {
 public:
  explicit ScopedUmask(unsigned mask = 022);
  ~ScopedUmask();
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  unsigned previous_ = 0;
};

// Every file and folder below root (root itself excluded) whose mode gives group or others
// any access, as "path mode" lines; links are not followed.
std::vector<std::string> OpenToOthers(const std::string& root);

// The permission bits of path (not following a link); -1 when it does not exist.
int ModeOf(const std::string& path);

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_FILE_MODES_H_
