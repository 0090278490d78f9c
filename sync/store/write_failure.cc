#include "sync/store/write_failure.h"

#include <sqlite3.h>

#include <cerrno>
#include <mutex>

namespace quillet {
namespace {

std::mutex& FailureMutex() {
  static std::mutex mutex;
  return mutex;
}

WString& Latest() {
  static WString cause;
  return cause;
}

}  // namespace

WString CauseOfErrno(int error) {
  switch (error) {
    case ENOSPC:
#if defined(EDQUOT)
    case EDQUOT:
#endif
    case EFBIG:
      return u"disk full";
    case EIO:
      return u"I/O error";
    case EROFS:
      return u"read-only";
    case EACCES:
    case EPERM:
      return u"permission denied";
    default:
      return WString();
  }
}

WString CauseOfSqlite(int code, int systemErrno) {
  switch (code & 0xff) {
    case SQLITE_FULL:
      return u"disk full";
    case SQLITE_READONLY:
      return u"read-only";
    case SQLITE_PERM:
      return u"permission denied";
    case SQLITE_IOERR: {
      // The system's reason is more exact where it is one of ours (ENOSPC on fsync, say).
      const WString cause = CauseOfErrno(systemErrno);
      return cause.empty() ? WString(u"I/O error") : cause;
    }
    case SQLITE_CANTOPEN:
      return CauseOfErrno(systemErrno);
    default:
      return WString();
  }
}

void NoteWriteFailure(const WString& cause) {
  std::lock_guard<std::mutex> lock(FailureMutex());
  Latest() = cause;
}

WString LatestWriteFailure() {
  std::lock_guard<std::mutex> lock(FailureMutex());
  return Latest();
}

WString WriteFailureSuffix() {
  const WString cause = LatestWriteFailure();
  return cause.empty() ? WString() : u",cause: " + cause;
}

}  // namespace quillet
