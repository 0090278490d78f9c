// Failing writes on demand, for tests: an SQLite VFS installed as the default one around
// the platform's own, and the test binaries' fsync (sync/testing/fsync_spy.cc) for the
// delivery journal. Both count the writes they pass on in one sequence: SQLite's xWrite,
// xTruncate and xSync of every file of every connection, and fsync of a journal file.
// Armed, the writes from the nth on fail as a full disk (SQLITE_FULL, fsync with ENOSPC)
// or as a failing device (SQLITE_IOERR_WRITE, EIO), either all of them from there on or the
// nth alone. The VFS also counts how often SQLite maps a WAL index into memory.
#ifndef QUILLET_SYNC_TESTING_WRITE_FAULTS_H_
#define QUILLET_SYNC_TESTING_WRITE_FAULTS_H_

namespace quillet {
namespace testing {

enum class WriteFault { kDiskFull, kIoError };
// Which writes may fail; all of them are counted either way.
enum class WriteTarget { kAll, kStore, kJournal };

// Installs the VFS as SQLite's default (once per process; later calls do nothing).
void InstallFaultVfs();
// Counting starts over at 0; nothing armed.
void ResetWriteFaults();
// Writes from the nth (1-based) fail; with once, only the nth.
void FailWritesFrom(long n, WriteFault fault = WriteFault::kDiskFull, bool once = false,
                    WriteTarget target = WriteTarget::kAll);
// Every write (of the target) from now on fails until ResetWriteFaults.
void FailAllWrites(WriteFault fault = WriteFault::kDiskFull,
                   WriteTarget target = WriteTarget::kAll);
// Writes passed on or failed since the last reset.
long WritesSeen();
long WritesFailed();
// Calls of xShmMap since the process started.
long WalIndexMaps();

// Counts one write of the store (journal: false) or the journal and tells whether it fails,
// and with which errno.
bool NextWriteFails(int* error, bool journal);

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_WRITE_FAULTS_H_
