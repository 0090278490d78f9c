// The host as the library sees it: every callback in wide-text form. The library reaches
// the host only through this interface; SyncProcessAdapter_c forwards to the C table.
//
// Arguments are taken by value; implementations own their copies. Implementations need
// not be thread-safe: calls come from the sync thread (GetNewAT also from the thread that
// keeps the lock alive).
#ifndef QUILLET_SYNC_COMMON_SYNC_PROCESS_ADAPTER_H_
#define QUILLET_SYNC_COMMON_SYNC_PROCESS_ADAPTER_H_

#include <map>
#include <memory>
#include <vector>

#include "sync/common/records.h"

namespace quillet {

class SyncProcessAdapter {
 public:
  virtual ~SyncProcessAdapter() = default;

  // counts: "cloudAdd", "cloudModify", "cloudDelete"; a missing key counts 0.
  virtual void OnDownloadSyncStart(WString dataType, std::map<WString, int> counts) = 0;
  virtual void OnUploadSyncStart(WString dataType) = 0;
  virtual std::vector<UpdateResultRecord> UpdateStructData(WString dataType, StructList added,
                                                           StructList modified) = 0;
  // Empty when the host gave no token.
  virtual WString GetNewAT() = 0;
  // Answers the luids the host deleted.
  virtual TextList DeleteData(WString dataType, TextList luids) = 0;
  virtual std::vector<LocalIdRecord> QueryLocalIds(WString dataType, int mode) = 0;
  // As QueryLocalIds, false when the host answered something that is not a list (a negative
  // count, a null array with a count). The library turns absent ids into cloud deletions,
  // so such an answer must not pass for "no records". ids is then left empty.
  virtual bool QueryLocalIdList(WString dataType, int mode, std::vector<LocalIdRecord>& ids) {
    ids = QueryLocalIds(std::move(dataType), mode);
    return true;
  }
  virtual std::vector<QueryResultRecord> DataQueryByID(WString dataType, TextList luids) = 0;
  virtual void UpdateSyncResult(WString dataType, StructList added, StructList modified,
                                TextList deletedGuids, KeyedTextMap extra) = 0;
  virtual void OnDataSyncEnd(WString dataType, int code) = 0;
  virtual void OnSyncEnd() = 0;
  // The record's pairs reach the host in ascending key order.
  virtual void ReportEvent(int kind, WString businessId, TextMap record) = 0;
};

using AdapterRef = std::shared_ptr<SyncProcessAdapter>;

}  // namespace quillet

#endif  // QUILLET_SYNC_COMMON_SYNC_PROCESS_ADAPTER_H_
