#include "sync/testing/small_disk.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#endif

namespace quillet {
namespace testing {

#if !defined(_WIN32)
SmallDisk::~SmallDisk() {
  if (!mountPoint_.empty()) umount2(mountPoint_.c_str(), MNT_DETACH);
}

bool SmallDisk::MountTmpfs(int sizeKb, std::string* why, const std::string& at) {
  const std::string point = at.empty() ? dir_ / "mnt" : at;
  std::filesystem::create_directories(point);
  const std::string options = "size=" + std::to_string(sizeKb) + "k,mode=0700";
  if (mount("tmpfs", point.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    *why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return false;
  }
  mountPoint_ = point;
  type_ = "tmpfs";
  return true;
}

bool SmallDisk::MountExt4(int sizeKb, std::string* why) {
  const std::string image = dir_ / "disk.img";
  const std::string point = dir_ / "mnt";
  std::filesystem::create_directories(point);
  // -m 0: no blocks kept back for root, who runs the tests and would use them otherwise.
  const std::string make = "mkfs.ext4 -q -F -b 1024 -m 0 '" + image + "' " +
                           std::to_string(sizeKb) + "k >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) {
    *why = "mkfs.ext4 failed (is e2fsprogs installed?)";
    return false;
  }
  const std::string attach = "mount -o loop '" + image + "' '" + point + "' >/dev/null 2>&1";
  if (std::system(attach.c_str()) != 0) {
    *why = "cannot loop-mount an ext4 image (no loop device, or not root)";
    return false;
  }
  mountPoint_ = point;
  type_ = "ext4";
  return true;
}

long long SmallDisk::FreeKb() const {
  struct statvfs info {};
  if (statvfs(mountPoint_.c_str(), &info) != 0) return -1;
  return static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize) / 1024;
}

bool SmallDisk::Fill(long long leaveKb) {
  const long long take = FreeKb() - leaveKb;
  if (take <= 0) return true;
  const std::string filler = mountPoint_ + "/filler" + std::to_string(fillers_++);
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // Real blocks, on every file system: a sparse file would take nothing.
  const int failed = posix_fallocate(fd, 0, static_cast<off_t>(take) * 1024);
  fsync(fd);
  close(fd);
  return failed == 0;
}

void SmallDisk::FreeSpace() {
  for (int i = 0; i < fillers_; ++i) {
    std::remove((mountPoint_ + "/filler" + std::to_string(i)).c_str());
  }
  fillers_ = 0;
  sync();
}

bool SmallDisk::Remount(bool readOnly) {
  const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
  return mount(type_.c_str(), mountPoint_.c_str(), type_.c_str(), flags, nullptr) == 0;
}
#else
SmallDisk::~SmallDisk() = default;
bool SmallDisk::MountTmpfs(int, std::string* why, const std::string&) {
  *why = "no tmpfs on Windows";
  return false;
}
bool SmallDisk::MountExt4(int, std::string* why) {
  *why = "no ext4 on Windows";
  return false;
}
bool SmallDisk::Fill(long long) { return false; }
void SmallDisk::FreeSpace() {}
long long SmallDisk::FreeKb() const { return -1; }
bool SmallDisk::Remount(bool) { return false; }
#endif

}  // namespace testing
}  // namespace quillet
