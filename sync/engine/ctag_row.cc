// The ctag row a data type needs before its first sync.
#include "sync/engine/passes.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"

namespace quillet {

// An empty ctag_value makes the type's first download a full comparison. False only when
// the row is missing and cannot be inserted.
bool CheckAndInsertCtag(const WString& dataType) {
  const char16_t* tag = u"CheckAndInsertCtag";
  LogSyncBegin(tag);
  DataBaseOperator& store = DataBaseOperator::GetInstance();
  if (!store.CheckItemExistsInCtag(dataType)) {
    CtagItem item;
    item.ctag_name = dataType;
    if (!store.InsertCtagData(item)) {
      LogSync(u"Error", tag, u"Insert ctag failed");
      LogSyncDone(tag);
      return false;
    }
  }
  LogSync(u"Info", tag, u"Insert ctag success");
  LogSyncDone(tag);
  return true;
}

}  // namespace quillet
