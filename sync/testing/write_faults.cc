#include "sync/testing/write_faults.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace quillet {
namespace testing {
namespace {

std::atomic<long> g_seen{0};
std::atomic<long> g_failed{0};
std::atomic<long> g_failFrom{0};  // 0: not armed
std::atomic<bool> g_once{false};
std::atomic<int> g_fault{0};
std::atomic<int> g_target{0};
std::atomic<long> g_shmMaps{0};

sqlite3_vfs* g_parent = nullptr;
sqlite3_vfs g_vfs;

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;  // the parent's file, right behind this struct
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }

// SQLITE_OK, or the code of the failing write.
int Fault(int ioCode) {
  int error = 0;
  if (!NextWriteFails(&error, false)) return SQLITE_OK;
  errno = error;
  if (error == ENOSPC && ioCode == SQLITE_IOERR_WRITE) return SQLITE_FULL;
  return ioCode;
}

int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int Read(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
  return Real(f)->pMethods->xRead(Real(f), buf, n, off);
}
int Write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
  if (const int code = Fault(SQLITE_IOERR_WRITE)) return code;
  return Real(f)->pMethods->xWrite(Real(f), buf, n, off);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  if (const int code = Fault(SQLITE_IOERR_TRUNCATE)) return code;
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (const int code = Fault(SQLITE_IOERR_FSYNC)) return code;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  g_shmMaps.fetch_add(1);
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
  return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
int Fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
  return Real(f)->pMethods->xFetch(Real(f), off, n, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
  return Real(f)->pMethods->xUnfetch(Real(f), off, p);
}

const sqlite3_io_methods kMethods = {
    3,         Close,    Read,     Write,      Truncate,    Sync,
    FileSize,  Lock,     Unlock,   CheckReservedLock,       FileControl,
    SectorSize, DeviceCharacteristics, ShmMap, ShmLock,     ShmBarrier,
    ShmUnmap,  Fetch,    Unfetch,
};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  FaultFile* wrapper = reinterpret_cast<FaultFile*>(file);
  wrapper->base.pMethods = nullptr;
  wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
  const int code = g_parent->xOpen(g_parent, name, wrapper->real, flags, outFlags);
  // SQLite closes a file only when its methods are set; the parent's must be as well.
  if (wrapper->real->pMethods != nullptr) wrapper->base.pMethods = &kMethods;
  return code;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) {
  return g_parent->xDelete(g_parent, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_parent->xAccess(g_parent, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return g_parent->xFullPathname(g_parent, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return g_parent->xDlOpen(g_parent, name); }
void DlError(sqlite3_vfs*, int n, char* out) { g_parent->xDlError(g_parent, n, out); }
void (*DlSym(sqlite3_vfs*, void* handle, const char* name))(void) {
  return g_parent->xDlSym(g_parent, handle, name);
}
void DlClose(sqlite3_vfs*, void* handle) { g_parent->xDlClose(g_parent, handle); }
int Randomness(sqlite3_vfs*, int n, char* out) { return g_parent->xRandomness(g_parent, n, out); }
int Sleep(sqlite3_vfs*, int micros) { return g_parent->xSleep(g_parent, micros); }
int CurrentTime(sqlite3_vfs*, double* out) { return g_parent->xCurrentTime(g_parent, out); }
int GetLastError(sqlite3_vfs*, int n, char* out) {
  return g_parent->xGetLastError(g_parent, n, out);
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return g_parent->xCurrentTimeInt64(g_parent, out);
}

}  // namespace

void InstallFaultVfs() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_parent = sqlite3_vfs_find(nullptr);
    g_vfs = sqlite3_vfs{};
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + g_parent->szOsFile;
    g_vfs.mxPathname = g_parent->mxPathname;
    g_vfs.zName = "quillet-test-faults";
    g_vfs.xOpen = Open;
    g_vfs.xDelete = Delete;
    g_vfs.xAccess = Access;
    g_vfs.xFullPathname = FullPathname;
    g_vfs.xDlOpen = DlOpen;
    g_vfs.xDlError = DlError;
    g_vfs.xDlSym = DlSym;
    g_vfs.xDlClose = DlClose;
    g_vfs.xRandomness = Randomness;
    g_vfs.xSleep = Sleep;
    g_vfs.xCurrentTime = CurrentTime;
    g_vfs.xGetLastError = GetLastError;
    g_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
    sqlite3_vfs_register(&g_vfs, 1);
  });
}

void ResetWriteFaults() {
  g_failFrom.store(0);
  g_seen.store(0);
  g_failed.store(0);
}

void FailWritesFrom(long n, WriteFault fault, bool once, WriteTarget target) {
  g_fault.store(static_cast<int>(fault));
  g_target.store(static_cast<int>(target));
  g_once.store(once);
  g_failFrom.store(n);
}

void FailAllWrites(WriteFault fault, WriteTarget target) {
  FailWritesFrom(g_seen.load() + 1, fault, false, target);
}

long WritesSeen() { return g_seen.load(); }
long WritesFailed() { return g_failed.load(); }
long WalIndexMaps() { return g_shmMaps.load(); }

bool NextWriteFails(int* error, bool journal) {
  const long n = g_seen.fetch_add(1) + 1;
  const long from = g_failFrom.load();
  if (from == 0 || n < from || (g_once.load() && n != from)) return false;
  const WriteTarget target = static_cast<WriteTarget>(g_target.load());
  if (target == (journal ? WriteTarget::kStore : WriteTarget::kJournal)) return false;
  g_failed.fetch_add(1);
  *error = g_fault.load() == static_cast<int>(WriteFault::kDiskFull) ? ENOSPC : EIO;
  return true;
}

}  // namespace testing
}  // namespace quillet
