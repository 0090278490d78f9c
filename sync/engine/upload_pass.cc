// The upload pass: local additions, modifications and deletions of one data type go to the
// cloud in batches, in that order; the first failing batch ends the pass.
#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/engine/asked_answers.h"
#include "sync/engine/change_detection.h"
#include "sync/engine/cloud_writes.h"
#include "sync/engine/pass_support.h"
#include "sync/engine/passes.h"
#include "sync/log/logger.h"
#include "sync/store/write_failure.h"

namespace quillet {
namespace {

class UploadPass {
 public:
  UploadPass(const NetConfig& session, const WString& dataType, int batchNumber, INetInterface* net,
             const std::atomic<bool>& stop, AdapterRef host)
      : session_(session),
        dataType_(dataType),
        batchNumber_(batchNumber),
        net_(net),
        stop_(stop),
        host_(std::move(host)) {}

  int Run();

 private:
  bool StopRequested(const StepLog& log) const {
    if (!stop_.load()) return false;
    log.Stopped();
    return true;
  }
  int ExcuteUpAdd(const EtagList& localAdd);
  int ExcuteUpAddHelper(TextList luids);
  int ExcuteUpModify(const EtagList& localModify);
  int ExcuteUpModHelper(TextList luids);
  int ExcuteUpDelete(const EtagList& localDelete);
  int ExcuteUpDeleteHelper(TextList guids);
  // DataQueryByID for one batch, with its report and log lines.
  std::vector<QueryResultRecord> QueryBatch(const StepLog& log, PassReport& report, TextList luids);
  void TellHost(const StepLog& log, PassReport& report, StructList added, StructList modified,
                TextList deleted);

  const NetConfig& session_;
  const WString dataType_;
  const int batchNumber_;
  INetInterface* const net_;
  const std::atomic<bool>& stop_;
  const AdapterRef host_;
  // Built once per modify stage: the first entry wins for a repeated key. Lookups only; the
  // views point into the stage's list, which lives for the whole pass.
  std::unordered_map<std::u16string_view, std::u16string_view> luidToGuid_;
  std::unordered_map<std::u16string_view, std::u16string_view> guidToLuid_;
};

std::vector<QueryResultRecord> UploadPass::QueryBatch(const StepLog& log, PassReport& report,
                                                      TextList luids) {
  std::unordered_set<WString> asked(luids.begin(), luids.end());
  log.Info(u"Call DataQueryByID");
  std::vector<QueryResultRecord> records = host_->DataQueryByID(dataType_, std::move(luids));
  report.Send(u"local_DataQueryByID", u"0", u"Call DataQueryByID");
  log.Info(u"End call DataQueryByID");
  // Only the records asked for, each once: another luid (or a null one) would be uploaded
  // and linked without ever having been listed as a change.
  const size_t dropped = KeepAskedOnce(
      records, asked, [](const QueryResultRecord& record) -> const WString& { return record.luid; },
      [](const QueryResultRecord& record) {
        LogError(u"[DataQueryByID] Record not asked for or repeated,not uploaded,luid:",
                 record.luid);
      });
  if (dropped != 0) {
    log.Error(u"DataQueryByID answered " + ToWide(static_cast<long long>(dropped)) +
              u" records not asked for,not uploaded");
  }
  log.Info(u"The number of DataQueryByID is " + ToWide(static_cast<long long>(records.size())));
  LogInfo(u"DataQueryByID result:");
  return records;
}

void UploadPass::TellHost(const StepLog& log, PassReport& report, StructList added,
                          StructList modified, TextList deleted) {
  log.Info(u"Call UpdateSyncResult");
  host_->UpdateSyncResult(dataType_, std::move(added), std::move(modified), std::move(deleted),
                          KeyedTextMap());
  report.Send(u"local_UpdateSyncResult", u"0", u"Call UpdateSyncResult");
  log.Info(u"End call UpdateSyncResult");
}

int UploadPass::ExcuteUpAdd(const EtagList& localAdd) {
  const StepLog log(u"ExcuteUpAdd");
  log.Info(u"Process add-up records");
  TextList batch;
  for (const EtagItem& item : localAdd) {
    if (StopRequested(log)) return QUILLET_STOPPED;
    batch.push_back(item.luid);
    if (static_cast<long long>(batch.size()) < batchNumber_) continue;
    log.Info(u"Meet batch requirements");
    if (const int code = ExcuteUpAddHelper(std::move(batch))) return code;
    batch.clear();
  }
  return batch.empty() ? 0 : ExcuteUpAddHelper(std::move(batch));
}

int UploadPass::ExcuteUpAddHelper(TextList luids) {
  const StepLog log(u"ExcuteUpAddHelper");
  PassReport report(session_);
  TextPairList uploads;
  uploads.reserve(luids.size());
  for (QueryResultRecord& record : QueryBatch(log, report, std::move(luids))) {
    LogInfo(u"Luid:", record.luid);
    uploads.emplace_back(std::move(record.luid), std::move(record.data));
  }
  StructList added;
  const int code = CloudAddAndInsertEtag(net_, dataType_, std::move(uploads), added);
  if (code != 0) {
    WString text = u"CloudAddAndInsertEtag failed,end sync,errorCode is " + ToWide(code);
    if (code == QUILLET_STORE_FAILED) text += WriteFailureSuffix();
    report.Send(u"local_CloudAddAndInsertEtag", code, text);
    log.Error(text);
    // The server holds these records now: a host never told their guids would upload them
    // again once edited, and the cloud would hold each twice.
    if (code == QUILLET_STORE_FAILED && !added.empty()) {
      TellHost(log, report, std::move(added), StructList(), TextList());
    }
    return code;
  }
  report.Send(u"local_CloudAddAndInsertEtag", code, u"Upload add success");
  log.Info(u"Upload add success");
  TellHost(log, report, std::move(added), StructList(), TextList());
  return 0;
}

int UploadPass::ExcuteUpModify(const EtagList& localModify) {
  const StepLog log(u"ExcuteUpModify");
  log.Info(u"Process local-modify records");
  for (const EtagItem& item : localModify) {
    luidToGuid_.emplace(item.luid, item.guid);
    guidToLuid_.emplace(item.guid, item.luid);
  }
  TextList batch;
  for (const EtagItem& item : localModify) {
    if (StopRequested(log)) return QUILLET_STOPPED;
    batch.push_back(item.luid);
    if (static_cast<long long>(batch.size()) < batchNumber_) continue;
    log.Info(u"Meet batch requirements");
    if (const int code = ExcuteUpModHelper(std::move(batch))) return code;
    batch.clear();
  }
  return batch.empty() ? 0 : ExcuteUpModHelper(std::move(batch));
}

int UploadPass::ExcuteUpModHelper(TextList luids) {
  const StepLog log(u"ExcuteUpModHelper");
  PassReport report(session_);
  TextPairList uploads;
  for (QueryResultRecord& record : QueryBatch(log, report, std::move(luids))) {
    LogInfo(u"[DataQueryByID] Luid:", record.luid);
    const auto guid = luidToGuid_.find(record.luid);
    if (guid == luidToGuid_.end()) continue;  // not a record of this stage
    LogInfo(u"Guid:", guid->second, u",luid:", record.luid);
    uploads.emplace_back(WString(guid->second), std::move(record.data));
  }
  StructList modified;
  const int code = CloudUpdateAndInsertEtag(net_, dataType_, std::move(uploads), modified);
  for (StructRecord& result : modified) {
    const auto luid = guidToLuid_.find(result.guid);
    if (luid != guidToLuid_.end()) result.luid = WString(luid->second);
  }
  if (code != 0) {
    WString text = u"CloudUpdateAndInsertEtag failed,errorCode is " + ToWide(code);
    if (code == QUILLET_STORE_FAILED) text += WriteFailureSuffix();
    report.Send(u"local_CloudUpdateAndInsertEtag", code, text);
    log.Error(text);
    return code;
  }
  report.Send(u"local_CloudUpdateAndInsertEtag", code, u"CloudUpdateAndInsertEtag success");
  LogInfo(u"[UpdateSyncResult]Modified success:");
  for (const StructRecord& result : modified) {
    LogInfo(u"Guid:", result.guid, u",luid:", result.luid);
  }
  TellHost(log, report, StructList(), std::move(modified), TextList());
  return 0;
}

int UploadPass::ExcuteUpDelete(const EtagList& localDelete) {
  const StepLog log(u"ExcuteUpDelete");
  log.Info(u"Process local-delete records");
  TextList batch;
  for (const EtagItem& item : localDelete) {
    batch.push_back(item.guid);
    if (static_cast<long long>(batch.size()) < batchNumber_) continue;
    log.Info(u"Meet batch requirements");
    if (StopRequested(log)) return QUILLET_STOPPED;
    if (const int code = ExcuteUpDeleteHelper(std::move(batch))) return code;
    batch.clear();
  }
  return batch.empty() ? 0 : ExcuteUpDeleteHelper(std::move(batch));
}

int UploadPass::ExcuteUpDeleteHelper(TextList guids) {
  const StepLog log(u"ExcuteUpDeleteHelper");
  TextList deleted;
  const int code = CloudDelAndDelEtag(net_, dataType_, std::move(guids), deleted);
  PassReport report(session_);
  if (code != 0) {
    WString text = u"CloudDelAndDelEtag failed,errorCode is " + ToWide(code);
    if (code == QUILLET_STORE_FAILED) text += WriteFailureSuffix();
    report.Send(u"local_CloudDelAndDelEtag", code, text);
    log.Error(text);
    return code;
  }
  log.Info(u"The number of success up-delete is " + ToWide(static_cast<long long>(deleted.size())));
  report.Send(u"local_CloudDelAndDelEtag", code, u"CloudDelAndDelEtag success");
  TellHost(log, report, StructList(), StructList(), std::move(deleted));
  return 0;
}

int UploadPass::Run() {
  const StepLog log(u"ProcessUploadStrucData");
  LogSyncBegin(log.function());
  if (StopRequested(log)) return QUILLET_STOPPED;
  EtagList localAdd, localModify, localDelete;
  if (const int code = IdentifyLocalChange(dataType_, localAdd, localModify, localDelete)) {
    return code;
  }
  if (const int code = ExcuteUpAdd(localAdd)) return code;
  if (const int code = ExcuteUpModify(localModify)) return code;
  if (const int code = ExcuteUpDelete(localDelete)) return code;
  LogSyncDone(log.function());
  return 0;
}

}  // namespace

int ProcessUploadStrucData(NetConfig config, const WString& dataType, int batchNumber,
                           INetInterface* net, const std::atomic<bool>& stop) {
  AdapterRef host = ActiveAdapter();
  if (!net || !host) return QUILLET_NO_CLIENT;
  AskedAnswersOnly asked(*net, config);
  UploadPass pass(config, dataType, batchNumber, &asked, stop, std::move(host));
  return pass.Run();
}

}  // namespace quillet
