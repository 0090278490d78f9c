#include "sync/session/sync_session.h"

#include <algorithm>
#include <cstdio>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/engine/passes.h"
#include "sync/log/logger.h"
#include "sync/platform/path_form.h"
#include "sync/platform/platform.h"
#include "sync/store/write_failure.h"

namespace quillet {
namespace {

void Info(const char16_t* tag, const WString& text) { LogSync(u"Info", tag, text); }
void Warning(const char16_t* tag, const WString& text) { LogSync(u"Warning", tag, text); }
void Error(const char16_t* tag, const WString& text) { LogSync(u"Error", tag, text); }

bool IsSuccessStatus(int status) { return status >= 200 && status <= 300; }

void EnsureTrailing(WString* text, char16_t ending) {
  if (!text->empty() && text->back() != ending) text->push_back(ending);
}

WString CallLine(const WString& syncType, const WString& dataType, int order, int batchNumber) {
  return u"SyncType:" + syncType + u",dataType:" + dataType + u",order:" + ToWide(order) +
         u",batchNumber:" + ToWide(batchNumber);
}

}  // namespace

SyncSession::SyncSession(NetConfig config, SessionServices services)
    : config_(std::move(config)), services_(std::move(services)) {}

SyncSession::~SyncSession() = default;

void SyncSession::SendReport(const SyncReport& report) {
  const AdapterRef host = ActiveAdapter();
  if (!host) return;
  const auto id = report.find(u"business_id");
  host->ReportEvent(1, id == report.end() ? WString() : id->second, report);
}

int SyncSession::SyncData(const WString& syncType, const WString& dataType, int order,
                          int batchNumber) {
  const char16_t* tag = u"SyncData";
  dataTypeOk_[dataType] = true;
  const int valid = CheckValidate(config_);
  if (valid != 0) {
    Info(tag, u"Check validate failed,end sync");
    dataTypeOk_[dataType] = false;
    return valid;
  }
  Info(tag, u"Check validate success");

  if (isFirstSync_) {
    const int code = InitDatabaseAndLog();
    if (code != 0) {
      dataTypeOk_[dataType] = false;
      return code;
    }
    // The new round's client replaces the previous round's.
    netInterface_ = services_.createNetInterface(config_);
  }
  if (!CheckNetInst()) return QUILLET_NO_CLIENT;

  LogSyncBegin(tag);
  CheckDataTypeExistAndInsert(dataType);
  Info(tag, CallLine(syncType, dataType, order, batchNumber));

  SyncReport report = MakeSyncReport(config_);
  report[u"business_id"] = u"local_SyncData";
  if (!CheckSyncDataOrder(syncType, dataType, order, isFirstSync_)) {
    const WString text = u"Check order failed,end sync";
    Error(tag, text);
    LogError(text);
    report[u"syncInfo"] = text;
    SendReport(report);
    dataTypeOk_[dataType] = false;
    return QUILLET_INVALID_CALL;
  }

  Info(tag, u"Call StartSync");
  const int code = StartSync(syncType, dataType, order, batchNumber);
  Info(tag, u"End call StartSync");
  isFirstSync_ = false;
  if (code != 0) {
    dataTypeOk_[dataType] = false;
    Warning(tag, u"Process SyncData failed, error code:" + ToWide(code));
  } else {
    Info(tag, u"Process SyncData success");
  }
  LogSyncDone(tag);
  return code;
}

int SyncSession::SyncDataWithRsn(const WString& syncType, const WString& dataType, int order,
                                 int batchNumber, int reason) {
  const char16_t* tag = u"SyncDataWithRsn";
  const int code = SyncData(syncType, dataType, order, batchNumber);
  Info(tag, u"Call SyncData");
  SyncReport report = MakeSyncReport(config_);
  report[u"returnCode"] = ToWide(code);
  report[u"operation_type"] = ToWide(reason);
  report[u"business_id"] = u"local_SyncDataWithRsn";
  if (code != 0) {
    const WString text = u"SyncData error,error code:" + ToWide(code);
    report[u"syncInfo"] = text;
    Error(tag, text);
    LogError(text);
  } else {
    report[u"syncInfo"] = u"SyncData success";
  }
  SendReport(report);
  LogSyncDone(tag);
  return code;
}

int SyncSession::CheckValidate(const NetConfig& config) {
  const char16_t* tag = u"CheckValidate";
  const struct {
    bool ok;
    const char16_t* text;
  } checks[] = {
      {ActiveAdapter() != nullptr, u"SyncProcessAdapter is empty"},
      {!config.AT.empty(), u"AT is empty"},
      {!config.AppID.empty(), u"AppID is empty"},
      {!config.UserID.empty(), u"UserID is empty"},
      {!config.SyncType.empty(), u"SyncType is empty"},
      {!config.DbPath.empty(), u"DbPath is empty"},
      {!config.LogPath.empty(), u"LogPath is empty"},
      {!config.SyncServerUrl.empty(), u"SyncServerUrl is empty"},
  };
  for (const auto& check : checks) {
    if (!check.ok) {
      Error(tag, check.text);
      LogError(check.text);
      return QUILLET_INVALID_CALL;
    }
  }
  Info(tag, u"Check validate success");
  return 0;
}

int SyncSession::InitDatabaseAndLog() {
  const char16_t* tag = u"InitCloudSync";
  EnsureTrailing(&config_.SyncServerUrl, u'/');
  // Hosts write paths as their toolkits do ("C:/Users/...", both separators mixed).
  config_.DbPath = platform::NormalisePath(config_.DbPath);
  config_.LogPath = platform::NormalisePath(config_.LogPath);
  EnsureTrailing(&config_.DbPath, platform::kPathSeparator);
  EnsureTrailing(&config_.LogPath, platform::kPathSeparator);
  if (!services_.initLogger(config_.LogPath)) {
    // No log to write the cause to: stderr is the one place left where a host's
    // developer will see it.
    std::fprintf(stderr,
                 "Quillet: logging cannot start (log4cpp.nt.property missing, unreadable or "
                 "broken beside the executable, or the log folder not writable); the sync "
                 "call returns %d\n",
                 QUILLET_NO_CLIENT);
    return QUILLET_NO_CLIENT;
  }
  if (services_.initDataBase(config_.UserID, config_.DbPath)) {
    Info(tag, u"Init database success");
    return 0;
  }
  Error(tag, u"Init database failed");
  LogError(u"Init database failed");
  return QUILLET_STORE_FAILED;
}

bool SyncSession::CheckSyncDataOrder(const WString& /*syncType*/, const WString& /*dataType*/,
                                     int order, bool isFirstSync) {
  if (isFirstSync && order != 1) {
    const WString text = u"Check order error,isFirstSync=" + ToWide(1) + u",order=" + ToWide(order);
    Info(u"CheckSyncDataOrder", text);
    LogError(text);
    return false;
  }
  return true;
}

void SyncSession::CheckDataTypeExistAndInsert(const WString& dataType) {
  if (std::find(roundDataTypes_.begin(), roundDataTypes_.end(), dataType) ==
      roundDataTypes_.end()) {
    roundDataTypes_.push_back(dataType);
  }
}

bool SyncSession::CheckNetInst() {
  if (netInterface_) return true;
  const WString text = u"Net instance invalid,exit";
  Info(u"CheckNetInst", text);
  LogError(text);
  return false;
}

int SyncSession::StartSync(const WString& syncType, const WString& dataType, int order,
                           int batchNumber) {
  const char16_t* tag = u"StartSync";
  LogSyncBegin(tag);
  Info(tag, CallLine(syncType, dataType, order, batchNumber));
  if (!services_.checkAndInsertCtag(dataType)) {
    Warning(tag, u"CheckAndInsertCtag failed,end sync");
    return QUILLET_STORE_FAILED;
  }
  int code = GetLock();
  if (code != 0) return code;
  if (LockLost(tag)) return QUILLET_LOCK_FAILED;  // lost before this call: nothing is sent
  const WString ctag = GetCurrentCtag(dataType);

  code = services_.downloadPass(config_, dataType, batchNumber, ctag, netInterface_.get(),
                                stopRequested_);
  if (code == kDownloadLeftUnconfirmed) {
    // The host did not take every record: the round goes on, its ctag is not stored.
    dataTypeOk_[dataType] = false;
    code = 0;
  }
  if (code != 0) {
    dataTypeOk_[dataType] = false;
    WString text = u"ProcessDownloadStructData failed,errorCode:" + ToWide(code);
    if (code == QUILLET_STORE_FAILED) text += WriteFailureSuffix();
    Error(tag, text);
    LogError(text);
  } else {
    code =
        services_.uploadPass(config_, dataType, batchNumber, netInterface_.get(), stopRequested_);
    if (code != 0) {
      dataTypeOk_[dataType] = false;
      Warning(tag, u"ProcessUploadStrucData failed,errorCode:" + ToWide(code));
    }
  }

  if (LockLost(tag)) {
    // Whatever the passes did, this data type ran without a lock the server still held.
    dataTypeOk_[dataType] = false;
    code = QUILLET_LOCK_FAILED;
  }

  Info(tag, u"Call OnDataSyncEnd");
  if (const AdapterRef host = ActiveAdapter()) host->OnDataSyncEnd(dataType, code);
  Info(tag, u"End call OnDataSyncEnd");
  LogSyncDone(tag);
  return code;
}

namespace {
// What a failed LOCK status means, for the one error line a host's developer reads first.
WString LockFailureCause(int status) {
  if (status == 0) {
    return u"no answer from the service (the line before says why: the URL is not https, "
           u"Cacert.pem is missing beside the executable, or the server cannot be reached)";
  }
  if (status == 3) return u"another device holds the cloud lock (2009), try again later";
  return u"the service refused the lock with status " + ToWide(status);
}
}  // namespace

int SyncSession::GetLock() {
  const char16_t* tag = u"GetLock";
  if (!isFirstSync_) {
    Info(tag, u"Not the first call syncData in this round,no need to get lock");
    return 0;
  }
  Info(tag, u"First call in this round of sync,get lock");
  // Only this round's lock may supply ctags: a type it does not list must not run with
  // the ctag of an earlier round.
  lockCtags_.clear();
  lockLossReported_ = false;
  const int status = netInterface_->Lock(lockCtags_);
  int reportCode = status;
  if (IsSuccessStatus(status)) {
    reportCode = 0;
  } else if (status == 0) {
    reportCode = QUILLET_NO_RESPONSE;
  } else if (status == 3) {
    reportCode = QUILLET_CLOUD_LOCKED;
  }
  SyncReport report = MakeSyncReport(config_);
  report[u"business_id"] = u"LOCK";
  report[u"returnCode"] = ToWide(reportCode);
  if (reportCode != 0) {
    const WString text = u"Get lock failed,error code:" + ToWide(status) + u",end sync";
    report[u"syncInfo"] = text;
    SendReport(report);
    Error(tag, text);
    LogError(text);
    // The line above keeps the protocol's wording; this one says which case it is.
    const WString cause = u"Get lock failed: " + LockFailureCause(status);
    Error(tag, cause);
    LogError(cause);
    return QUILLET_LOCK_FAILED;
  }
  report[u"syncInfo"] = u"Get lock success";
  SendReport(report);
  Info(tag, u"Get lock success");
  return 0;
}

WString SyncSession::GetCurrentCtag(const WString& dataType) {
  const auto it = lockCtags_.find(dataType);
  if (it == lockCtags_.end()) return WString();
  Info(u"GetCurrentCtag", u"Current ctag: " + it->second.ctag_value);
  return it->second.ctag_value;
}

void SyncSession::EndSync(const WString& /*syncType*/) {
  const char16_t* tag = u"EndSync";
  LogSyncBegin(tag);
  if (!CheckNetInst()) return;
  SyncReport report = MakeSyncReport(config_);
  report[u"endTrace"] = u"1";

  WString text = u"The types included in this sync task are ";
  for (size_t i = 0; i < roundDataTypes_.size(); ++i) {
    if (i != 0) text += u",";
    text += roundDataTypes_[i];
  }
  Info(tag, text);

  CtagMap ctags;
  const int status = UnLock(ctags);
  // After a lost lock the ctags may cover another device's writes this one never saw: none
  // is stored, so that the next round compares the etags again.
  if (IsSuccessStatus(status) && !LockLost(tag)) UpdateCtagWhileEndSync(ctags);
  isFirstSync_ = true;
  roundDataTypes_.clear();
  lockLossReported_ = false;

  Info(tag, u"Call OnSyncEnd");
  if (const AdapterRef host = ActiveAdapter()) host->OnSyncEnd();
  report[u"business_id"] = u"local_OnSyncEnd";
  report[u"returnCode"] = u"0";
  report[u"syncInfo"] = text;
  SendReport(report);
  Info(tag, u"End call OnSyncEnd");
  LogSyncDone(tag);
}

bool SyncSession::LockLost(const char16_t* tag) {
  if (!netInterface_ || !netInterface_->LockLost()) return false;
  if (lockLossReported_) return true;
  lockLossReported_ = true;
  const WString text =
      u"Lock lost,error code:" + ToWide(QUILLET_LOCK_FAILED) +
      u",the cloud lock of this round was not held any more: no further write is sent and "
      u"no ctag of this round is stored";
  Error(tag, text);
  LogError(text);
  SyncReport report = MakeSyncReport(config_);
  report[u"business_id"] = u"LOCK";
  report[u"returnCode"] = ToWide(QUILLET_LOCK_FAILED);
  report[u"syncInfo"] = text;
  SendReport(report);
  return true;
}

int SyncSession::UnLock(CtagMap& ctags) {
  const char16_t* tag = u"UnLock";
  Info(tag, u"Unlock");
  const int status = netInterface_->Unlock(ctags);
  SyncReport report = MakeSyncReport(config_);
  report[u"returnCode"] = ToWide(status);
  report[u"business_id"] = u"UNLOCK";
  const WString text =
      status == 200 ? WString(u"Unlock success") : u"Unlock failed,error code:" + ToWide(status);
  report[u"syncInfo"] = text;
  SendReport(report);
  Info(tag, text);
  return status;
}

void SyncSession::UpdateCtagWhileEndSync(const CtagMap& ctags) {
  const char16_t* tag = u"UpdateCtagWhileEndSync";
  for (const auto& entry : ctags) {
    Info(tag, u"DataType:" + entry.first + u",current ctag:" + entry.second.ctag_value);
  }
  Info(tag, u"Update ctag in database");
  for (const WString& type : roundDataTypes_) {
    const auto found = ctags.find(type);
    if (found == ctags.end()) continue;
    const auto ok = dataTypeOk_.find(type);
    if (ok != dataTypeOk_.end() && !ok->second) {
      Info(tag, u"No need to update ctag while end sync,dataType: " + type);
      continue;
    }
    Info(tag, u"Need to update ctag while end sync,dataType: " + type);
    if (services_.updateCtag(type, found->second.ctag_value)) {
      Info(tag, u"Update " + type + u" success");
    } else {
      Warning(tag, u"Update " + type + u" failed");
    }
  }
}

}  // namespace quillet
