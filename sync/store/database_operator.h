// The per-user SQLite store of ctags and etags.
//
// One instance per process. It holds no connection: every operation opens its own with
// OpenDb, runs its statements and closes it before returning, so any thread may call any
// operation. Contention with other connections (threads or processes) is left to SQLite's
// WAL mode and a busy handler that sleeps 500 ms and retries up to 20 times. Connections
// run in exclusive locking mode, which keeps the WAL index out of a shared memory map
// that a full disk could turn into SIGBUS; the file is held from a connection's first
// statement to its close, so concurrent operations take turns.
//
// The cause of the latest failure ("disk full", "I/O error", ...) is noted for
// LatestWriteFailure (sync/store/write_failure.h).
//
// Every operation returns true on success. Failures are logged through LogError and
// returned as false; nothing throws. A UNIQUE violation on insert counts as success (the
// stored row stays as it was).
#ifndef QUILLET_SYNC_STORE_DATABASE_OPERATOR_H_
#define QUILLET_SYNC_STORE_DATABASE_OPERATOR_H_

#include <mutex>
#include <string>
#include <vector>

#include "sync/platform/text.h"
#include "sync/store/store_records.h"

struct sqlite3;

namespace quillet {

// The per-user store directory as a UTF-8 path: dataDir + "Quillet" + separator + the MD5
// of the user id's ANSI bytes (so an existing user's folder keeps its name). A separator
// is added after dataDir when it has none. Empty when
// the MD5 cannot be computed (a FIPS policy without MD5): users must not share a store.
std::string BuildStoreDirectory(const WString& userId, const WString& dataDir);

// Creates an absolute directory (UTF-8 path) level by level, from below its root; levels
// named "Quillet..." get the hidden attribute where the platform has one. False on a
// relative path or on the first level that cannot be made (levels made before it stay).
bool createDir(const std::string& path);

// The UPDATE text for one EtagUpdate: columns in ascending order, values quoted with any
// single quote doubled. An empty whereFields gives a text ending in " WHERE ", which fails.
WString BuildEtagUpdateStatement(const EtagUpdate& update);

class DataBaseOperator {
 public:
  // Created on first use; safe against concurrent first calls.
  static DataBaseOperator& GetInstance();

  // Locates the store of userId under dataDir, creating the directory, the file (in WAL
  // mode) and the tables when missing, and converts an earlier etag layout. True when the
  // directory, the file and both tables are in place. Run before any other operation.
  bool IntiDataBase(const WString& userId, const WString& dataDir);

  // True when the row was inserted or one of that name already existed (left unchanged).
  bool InsertCtagData(const CtagItem& item);
  // Changes only ctag_value. True when the statement ran, also for a name without a row.
  bool UpdateCtagData(const WString& ctagName, const WString& ctagValue);
  // True when exactly one row has that name; false also when the store cannot be read.
  bool CheckItemExistsInCtag(const WString& ctagName);
  // Fills out when the row exists and leaves it untouched otherwise. False when the store
  // cannot be opened or read.
  bool GetCtagDataItem(CtagItem& out, const WString& ctagName);

  // Inserts in one transaction. Rows already stored (same luid and type) count as stored.
  // False when any other row failed; the rows that went in are committed all the same.
  bool InsertEtagDataBatch(const std::vector<EtagItem>& items);
  // uidType 0: ids are luids; 1: ids are guids. An empty list succeeds without opening the
  // store; any other uidType fails.
  bool DeleteEtagBatchWithUid(const std::vector<WString>& ids, int uidType);
  // Runs every update in one transaction; false when any failed (the others stay applied).
  bool UpdateEtagBatch(const std::vector<EtagUpdate>& updates);
  // How much of each row a read fills in; what is not read stays empty. Change detection
  // reads only what it compares: kIdsAndEtag (luid, guid, etag, recycle_status) for the
  // cloud side, kIds (luid, guid, recycle_status) for the host's side.
  enum class RowFields { kAll, kIdsAndEtag, kIds };
  // Appends the rows of the type to out (out is not cleared). False when the store cannot be
  // opened or read; rows read before a read failure stay appended. A caller that knows about
  // how many rows to expect reserves room in out first and spares the read a count.
  bool GetEtagDataItemsByType(std::vector<EtagItem>& out, const WString& type,
                              RowFields fields = RowFields::kAll);

  // The database file of the latest IntiDataBase; empty before the first.
  WString DbPath() const;

 private:
  DataBaseOperator() = default;
  DataBaseOperator(const DataBaseOperator&) = delete;
  DataBaseOperator& operator=(const DataBaseOperator&) = delete;

  bool CreateDb(const std::string& utf8Path);
  bool CreateTables(const std::string& utf8Path);
  bool IsEtagTableOutdated(const std::string& utf8Path);
  bool UpgradeEtagTable(const std::string& utf8Path);
  std::string Utf8DbPath() const;

  // Guards dbPath_ only; operations themselves are not serialised.
  mutable std::mutex pathMutex_;
  WString dbPath_;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_DATABASE_OPERATOR_H_
