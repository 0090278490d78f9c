// The per-user SQLite store of ctags and etags. One instance per process; every operation
// opens and closes its own connection, so the instance itself holds no connection.
#ifndef QUILLET_SYNC_STORE_DATABASE_OPERATOR_H_
#define QUILLET_SYNC_STORE_DATABASE_OPERATOR_H_

#include "sync/platform/text.h"
#include "sync/store/store_records.h"

namespace quillet {

class DataBaseOperator {
 public:
  // Created on first use; safe against concurrent first calls.
  static DataBaseOperator& GetInstance();

  // Locates (creating when missing) the store of userId under dataDir. True when the
  // directory, the file and both tables are in place.
  bool IntiDataBase(const WString& userId, const WString& dataDir);

  // True when the statement ran.
  bool UpdateCtagData(const WString& ctagName, const WString& ctagValue);

 private:
  DataBaseOperator() = default;
  DataBaseOperator(const DataBaseOperator&) = delete;
  DataBaseOperator& operator=(const DataBaseOperator&) = delete;

  WString dbPath_;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_DATABASE_OPERATOR_H_
