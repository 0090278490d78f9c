// POSIX implementation of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sync/platform/platform.h"

namespace quillet {
namespace platform {

const char16_t kPathSeparator = u'/';
const int kNoFollowOpenFlag = O_NOFOLLOW;

bool TruncateFile(std::FILE* file, long long size) {
  return file != nullptr && ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

// The narrow code page is UTF-8 here.
std::string WideToAnsi(const WString& wide) { return WideToUtf8(wide); }
WString AnsiToWide(const std::string& ansi) { return Utf8ToWide(ansi); }

WString ExecutablePath() {
  char buf[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return WString();
  return AnsiToWide(std::string(buf, static_cast<size_t>(n)));
}

bool DirectoryExists(const std::string& ansiPath) {
  struct stat st;
  return stat(ansiPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& ansiPath) {
  struct stat st;
  return stat(ansiPath.c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& ansiPath, bool* accessDenied) {
  if (accessDenied) *accessDenied = false;
  // The umask may only take bits away: what is made here is never open to others.
  if (mkdir(ansiPath.c_str(), 0700) == 0) return true;
  if (accessDenied) *accessDenied = (errno == EACCES || errno == EPERM);
  return false;
}

bool CloseToOthers(const std::string& ansiPath) {
  const int fd = open(ansiPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && st.st_uid == geteuid() && (st.st_mode & 077) != 0) {
    ok = fchmod(fd, st.st_mode & 0700) == 0;
  }
  close(fd);
  return ok;
}

namespace {

// The owner's bits only: a file this library writes holds the user's records or logs.
void KeepPrivate(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 077) != 0) {
    fchmod(fd, st.st_mode & 0600);
  }
}

}  // namespace

std::FILE* OpenOwnFile(const std::string& ansiPath, OwnFileAccess access) {
  int flags = O_NOFOLLOW | O_CLOEXEC;
  const char* mode = "rb";
  switch (access) {
    case OwnFileAccess::kRead:
      flags |= O_RDONLY;
      break;
    case OwnFileAccess::kAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      mode = "ab";
      break;
    case OwnFileAccess::kReplace:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      mode = "wb";
      break;
  }
  int fd;
  do {
    fd = open(ansiPath.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  // A FIFO or device in the library's place would block or swallow the bytes.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  if (access != OwnFileAccess::kRead) KeepPrivate(fd);
  std::FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

bool CreateOwnFile(const std::string& ansiPath, bool* existed) {
  if (existed) *existed = false;
  // O_EXCL fails on any name already there, a link to nowhere included.
  const int fd = open(ansiPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (existed) *existed = errno == EEXIST;
    return false;
  }
  KeepPrivate(fd);
  close(fd);
  return true;
}

bool IsLink(const std::string& ansiPath) {
  struct stat st;
  return lstat(ansiPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool SyncFile(std::FILE* file) {
  if (file == nullptr || std::fflush(file) != 0) return false;
  int result;
  do {
    result = fsync(fileno(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool SyncDirectory(const std::string& ansiPath) {
  const int fd = open(ansiPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool SetHidden(const std::string& /*ansiPath*/) { return true; }

bool IsAbsolutePath(const std::string& ansiPath) { return !ansiPath.empty() && ansiPath[0] == '/'; }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace platform
}  // namespace quillet
