// A small file system of a test's own, mounted on a fresh folder: a tmpfs, or an ext4 in a
// loop-mounted image file (1 KiB blocks, smaller than a memory page, as small volumes get).
// Needs root (CI runs as root); a test that cannot mount skips and says why. POSIX only.
#ifndef QUILLET_SYNC_TESTING_SMALL_DISK_H_
#define QUILLET_SYNC_TESTING_SMALL_DISK_H_

#include <string>

#include "sync/testing/temp_dir.h"

namespace quillet {
namespace testing {

class SmallDisk {
 public:
  SmallDisk() = default;
  ~SmallDisk();  // unmounts
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // False with *why filled when the file system cannot be made or mounted. A tmpfs goes on
  // an existing folder at when given (made when missing), else on a fresh one.
  bool MountTmpfs(int sizeKb, std::string* why, const std::string& at = std::string());
  bool MountExt4(int sizeKb, std::string* why);
  // Fills the file system until about leaveKb are free (a filler file); FreeSpace removes it.
  bool Fill(long long leaveKb);
  void FreeSpace();
  long long FreeKb() const;
  // Mounted read-only, or read-write again.
  bool Remount(bool readOnly);

  const std::string& path() const { return mountPoint_; }

 private:
  TempDir dir_;
  std::string mountPoint_;
  std::string type_;
  int fillers_ = 0;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_SMALL_DISK_H_
