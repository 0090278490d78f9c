// One sync type's session: its init record, the protocol client of the current round, the
// round's bookkeeping and the stop flag.
//
// Not thread-safe: the registry's sync slot lets one call at a time reach a session. The one
// exception is RequestStop, which may be called from any thread while a sync call runs.
#ifndef QUILLET_SYNC_SESSION_SYNC_SESSION_H_
#define QUILLET_SYNC_SESSION_SYNC_SESSION_H_

#include <atomic>
#include <map>

#include "sync/common/records.h"
#include "sync/log/sync_report.h"
#include "sync/net/net_interface.h"
#include "sync/session/session_services.h"

namespace quillet {

class SyncSession {
 public:
  explicit SyncSession(NetConfig config, SessionServices services = SessionServices::Default());
  SyncSession(const SyncSession&) = delete;
  SyncSession& operator=(const SyncSession&) = delete;
  // Destroys the round's protocol client (which stops its keep-alive timer); sends nothing.
  ~SyncSession();

  // One data type's sync; returns 0 or a result code.
  int SyncData(const WString& syncType, const WString& dataType, int order, int batchNumber);
  int SyncDataWithRsn(const WString& syncType, const WString& dataType, int order, int batchNumber,
                      int reason);
  // Closes the round: unlock, store ctags of the types that did not fail, OnSyncEnd.
  void EndSync(const WString& syncType);
  void RequestStop() { stopRequested_.store(true); }
  // A call for dataType ended abnormally: its ctag must not be stored at the round's end.
  void MarkDataTypeFailed(const WString& dataType) { dataTypeOk_[dataType] = false; }
  // Checks that the round has a protocol client; logs when it has none.
  bool CheckNetInst();

  const NetConfig& config() const { return config_; }
  bool isFirstSync() const { return isFirstSync_; }
  const TextList& roundDataTypes() const { return roundDataTypes_; }
  const std::map<WString, bool>& dataTypeOk() const { return dataTypeOk_; }
  bool stopRequested() const { return stopRequested_.load(); }

 private:
  int CheckValidate(const NetConfig& config);
  int InitDatabaseAndLog();
  bool CheckSyncDataOrder(const WString& syncType, const WString& dataType, int order,
                          bool isFirstSync);
  void CheckDataTypeExistAndInsert(const WString& dataType);
  int StartSync(const WString& syncType, const WString& dataType, int order, int batchNumber);
  int GetLock();
  WString GetCurrentCtag(const WString& dataType);
  // Whether the round's cloud lock is known lost; the first time per round it says so in the
  // log and in a report.
  bool LockLost(const char16_t* tag);
  int UnLock(CtagMap& ctags);
  void UpdateCtagWhileEndSync(const CtagMap& ctags);
  void SendReport(const SyncReport& report);

  NetConfig config_;
  SessionServices services_;
  bool isFirstSync_ = true;
  NetInterfacePtr netInterface_;
  TextList roundDataTypes_;
  std::map<WString, bool> dataTypeOk_;
  std::atomic<bool> stopRequested_{false};
  CtagMap lockCtags_;
  bool lockLossReported_ = false;  // in this round
};

}  // namespace quillet

#endif  // QUILLET_SYNC_SESSION_SYNC_SESSION_H_
