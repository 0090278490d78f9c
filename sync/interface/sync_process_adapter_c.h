// SyncProcessAdapter on top of the host's C callback table.
//
// Every outbound list is copied into C arrays owned by the call and freed when the host's
// entry returns; every host result array is converted and handed back to its Free entry
// exactly once (never for a null pointer). The adapter takes no lock.
#ifndef QUILLET_SYNC_INTERFACE_SYNC_PROCESS_ADAPTER_C_H_
#define QUILLET_SYNC_INTERFACE_SYNC_PROCESS_ADAPTER_C_H_

#include <memory>

#include "quillet.h"
#include "sync/common/sync_process_adapter.h"

namespace quillet {

// Makes buffer a fresh NUL-terminated UTF-8 copy of text (the previous buffer is freed).
void ConvertWString2Array(const WString& text, std::unique_ptr<char[]>* buffer);

class SyncProcessAdapter_c : public SyncProcessAdapter {
 public:
  // The table is copied; the host's table need not outlive this call.
  explicit SyncProcessAdapter_c(const SyncCallbacks& callbacks) : callbacks_(callbacks) {}

  void OnDownloadSyncStart(WString dataType, std::map<WString, int> counts) override;
  void OnUploadSyncStart(WString dataType) override;
  std::vector<UpdateResultRecord> UpdateStructData(WString dataType, StructList added,
                                                   StructList modified) override;
  WString GetNewAT() override;
  TextList DeleteData(WString dataType, TextList luids) override;
  std::vector<LocalIdRecord> QueryLocalIds(WString dataType, int mode) override;
  bool QueryLocalIdList(WString dataType, int mode, std::vector<LocalIdRecord>& ids) override;
  std::vector<QueryResultRecord> DataQueryByID(WString dataType, TextList luids) override;
  void UpdateSyncResult(WString dataType, StructList added, StructList modified,
                        TextList deletedGuids, KeyedTextMap extra) override;
  void OnDataSyncEnd(WString dataType, int code) override;
  void OnSyncEnd() override;
  void ReportEvent(int kind, WString businessId, TextMap record) override;

 private:
  const SyncCallbacks callbacks_;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_INTERFACE_SYNC_PROCESS_ADAPTER_C_H_
