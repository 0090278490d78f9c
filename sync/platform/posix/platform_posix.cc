// POSIX implementation of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <sys/mman.h>
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

std::string CRuntimePath(const std::string& path) { return path; }

bool ReadWholeFile(const std::string& path, size_t limit, std::string* contents) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string read;
  char chunk[16384];
  bool ok = true;
  for (;;) {
    const size_t n = std::fread(chunk, 1, sizeof chunk, file);
    if (n == 0) break;
    if (read.size() + n > limit) {
      ok = false;
      break;
    }
    read.append(chunk, n);
  }
  ok = ok && !std::ferror(file);
  std::fclose(file);
  if (ok) contents->swap(read);
  return ok;
}

int OpenDescriptor(const std::string& path, int flags, int mode) {
  return ::open(path.c_str(), flags, static_cast<mode_t>(mode));
}

bool RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return std::remove(path.c_str()) == 0; }

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& path, bool* accessDenied) {
  if (accessDenied) *accessDenied = false;
  // The umask may only take bits away: what is made here is never open to others.
  if (mkdir(path.c_str(), 0700) == 0) return true;
  if (accessDenied) *accessDenied = (errno == EACCES || errno == EPERM);
  return false;
}

bool CloseToOthers(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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

// What an open descriptor reaches. A file with a second name may be one another user
// linked to theirs (in a folder they could write to once); a file of theirs they can read.
Trust TrustOfOpenFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Trust::kUnreadable;
  if (!S_ISREG(st.st_mode)) return Trust::kWrongKind;
  if (st.st_uid != geteuid()) return Trust::kOtherOwner;
  // None any more is a file removed or renamed over since the open: no one else's.
  if (st.st_nlink > 1) return Trust::kHardLinked;
  return Trust::kOwn;
}

// open(2) that never blocks: a FIFO with no writer, or a device, would hold the call (and
// the cloud lock the round holds) for good. The flag is cleared once the file is known to
// be a regular one, for which it means nothing anyway.
int OpenNonBlocking(const std::string& path, int flags, Trust* trust) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ELOOP) {
      *trust = Trust::kLink;
    } else if (errno == ENOENT) {
      *trust = Trust::kMissing;
    } else if (errno == ENXIO || errno == EWOULDBLOCK) {
      *trust = Trust::kWrongKind;  // a FIFO without reader, opened for writing
    } else {
      *trust = Trust::kUnreadable;
    }
    return -1;
  }
  *trust = TrustOfOpenFile(fd);
  if (*trust != Trust::kOwn) {
    close(fd);
    return -1;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    close(fd);
    *trust = Trust::kUnreadable;
    return -1;
  }
  return fd;
}

}  // namespace

const char16_t* TrustText(Trust trust) {
  switch (trust) {
    case Trust::kOwn:
      return u"is the user's own";
    case Trust::kMissing:
      return u"does not exist";
    case Trust::kLink:
      return u"is a link";
    case Trust::kWrongKind:
      return u"is not of the expected kind (a FIFO, a device or a folder)";
    case Trust::kOtherOwner:
      return u"belongs to another user";
    case Trust::kOpenToOthers:
      return u"can be written by other users";
    case Trust::kHardLinked:
      return u"has another name as well (a hard link)";
    case Trust::kUnreadable:
      break;
  }
  return u"cannot be examined";
}

Trust CheckPrivateFolder(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Trust::kMissing : Trust::kUnreadable;
  if (S_ISLNK(st.st_mode)) return Trust::kLink;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? Trust::kLink : Trust::kWrongKind;
  Trust trust = Trust::kOwn;
  if (fstat(fd, &st) != 0) {
    trust = Trust::kUnreadable;
  } else if (!S_ISDIR(st.st_mode)) {
    trust = Trust::kWrongKind;
  } else if (st.st_uid != geteuid()) {
    trust = Trust::kOtherOwner;
  } else if ((st.st_mode & 077) != 0 && fchmod(fd, st.st_mode & 0700) != 0) {
    // The user's own, left open by an earlier release: closed, as CloseToOthers does.
    trust = Trust::kOpenToOthers;
  }
  close(fd);
  return trust;
}

Trust CheckOwnFile(const std::string& path) {
  Trust trust;
  const int fd = OpenNonBlocking(path, O_RDONLY, &trust);
  if (fd >= 0) close(fd);
  return trust;
}

std::FILE* OpenOwnFile(const std::string& path, OwnFileAccess access) {
  int flags = 0;
  const char* mode = "rb";
  switch (access) {
    case OwnFileAccess::kRead:
      flags = O_RDONLY;
      break;
    case OwnFileAccess::kAppend:
      flags = O_WRONLY | O_CREAT | O_APPEND;
      mode = "ab";
      break;
    case OwnFileAccess::kReplace:
      // Cut only once it is known to be the user's own file (a hard link to another
      // user's file would be emptied otherwise).
      flags = O_WRONLY | O_CREAT;
      mode = "wb";
      break;
  }
  Trust trust;
  const int fd = OpenNonBlocking(path, flags, &trust);
  if (fd < 0) return nullptr;
  if (access == OwnFileAccess::kReplace && ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  if (access != OwnFileAccess::kRead) KeepPrivate(fd);
  std::FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

bool ReadBackPinned(const std::string& path, const std::string& contents,
                    const std::function<bool(const std::string& name)>& read) {
  std::FILE* file = OpenOwnFile(path, OwnFileAccess::kReplace);
  if (file == nullptr) return false;
  bool ok = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) return false;
#ifdef __linux__
  // A copy in memory that only this process holds: nothing on any disk to swap.
  const int copy = memfd_create("quillet-config", MFD_CLOEXEC);
  if (copy >= 0) {
    size_t done = 0;
    while (done < contents.size()) {
      const ssize_t n = write(copy, contents.data() + done, contents.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    const std::string name = "/proc/self/fd/" + std::to_string(copy);
    if (done == contents.size() && access(name.c_str(), R_OK) == 0) {
      bool result = false;
      try {
        result = read(name);
      } catch (...) {
      }
      close(copy);
      return result;
    }
    close(copy);
  }
#endif
  // No /proc: the file just written, in a folder the caller has found private.
  try {
    return read(path);
  } catch (...) {
    return false;
  }
}

bool CreateOwnFile(const std::string& path, bool* existed) {
  if (existed) *existed = false;
  // O_EXCL fails on any name already there, a link to nowhere or a FIFO included.
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (existed) *existed = errno == EEXIST;
    return false;
  }
  KeepPrivate(fd);
  close(fd);
  return true;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool SyncFile(std::FILE* file) {
  if (file == nullptr || std::fflush(file) != 0) return false;
  int result;
  do {
    result = fsync(fileno(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool SyncDirectory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool SetHidden(const std::string& /*path*/) { return true; }

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace platform
}  // namespace quillet
