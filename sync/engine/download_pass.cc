// The download pass: the cloud's additions, modifications and deletions of one data type
// reach the host in batches, and the etag rows and the ctag follow what the host confirmed.
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/engine/asked_answers.h"
#include "sync/engine/change_detection.h"
#include "sync/engine/pass_support.h"
#include "sync/engine/passes.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"
#include "sync/store/delivery_journal.h"
#include "sync/store/write_failure.h"

namespace quillet {
namespace {

// guid -> its entry of the pass's cloud-add or cloud-modify list, for lookups only; keys and
// values point into the lists, which live for the whole pass.
using EtagIndex = std::unordered_map<std::u16string_view, const EtagItem*>;

class DownloadPass {
 public:
  DownloadPass(const NetConfig& session, const WString& dataType, int batchNumber,
               INetInterface* net, const std::atomic<bool>& stop, AdapterRef host)
      : dataType_(dataType),
        batchNumber_(batchNumber),
        net_(net),
        stop_(stop),
        host_(std::move(host)),
        report_(session) {}

  int Run(const WString& currentCtag);

 private:
  bool StopRequested() const {
    if (!stop_.load()) return false;
    log_.Stopped();
    return true;
  }
  // One REPORT request for the pending guids; modified records get their local luids.
  // 0 or the mapped failure code.
  int Download(StructList* records);
  // Hands one delivery to the host and collects the etag rows it confirmed. withModify
  // selects the full result rule (adds and modifies) over the add-only rule. 0, or 2007
  // when the journal entry cannot be made durable: then the host is handed nothing.
  int Deliver(StructList added, StructList modified, bool withModify);
  // Logs and reports a failed store step; the text names the cause. Returns 2007.
  int StoreFailed(const char16_t* step, const WString& text);
  // Writes the rows collected by Deliver. 0 or 2007.
  int WriteAddedRows(bool evenWhenEmpty);
  int WriteModifiedRows();
  // Records of an earlier round's delivery that have no etag row and that the cloud no
  // longer lists: the host may hold them unknown to us.
  StructList Unrecorded(const StructList& inFlight, const EtagList& cloud,
                        const EtagList& local) const;
  // Hands the unrecorded records over again so that the host names its luids for them;
  // those luids (never one that has an etag row) are to be deleted with the cloud deletions.
  TextList LuidsOfUnrecorded(const EtagList& local);

  const WString dataType_;
  const int batchNumber_;
  INetInterface* const net_;
  const std::atomic<bool>& stop_;
  const AdapterRef host_;
  const StepLog log_{u"ProcessDownloadStructData"};
  PassReport report_;
  DataBaseOperator& store_ = DataBaseOperator::GetInstance();

  EtagIndex addIndex_;
  EtagIndex modifyIndex_;
  TextList downloadGuids_;
  std::map<WString, WString> guidToLuid_;
  std::vector<EtagItem> inserts_;
  std::vector<EtagUpdate> updates_;
  DeliveryJournal journal_{store_.DbPath(), dataType_};
  StructList unrecorded_;  // carried in the journal until the host has been asked to delete
  // Records handed to the host that it did not confirm, deletions asked that it did not
  // answer: while any are left, the ctag stays where it was, so the next round lists them.
  long long unconfirmedRecords_ = 0;
  long long unconfirmedDeletions_ = 0;
};

int DownloadPass::StoreFailed(const char16_t* step, const WString& text) {
  const WString full = text + WriteFailureSuffix();
  log_.Error(full);
  report_.Send(step, QUILLET_STORE_FAILED, full);
  return QUILLET_STORE_FAILED;
}

StructList DownloadPass::Unrecorded(const StructList& inFlight, const EtagList& cloud,
                                    const EtagList& local) const {
  std::set<WString> known;
  for (const EtagItem& item : cloud) known.insert(item.guid);
  for (const EtagItem& item : local) known.insert(item.guid);
  StructList unrecorded;
  for (const StructRecord& record : inFlight) {
    // Still in the cloud: listed as an addition and delivered again anyway.
    if (known.insert(record.guid).second) unrecorded.push_back(record);
  }
  return unrecorded;
}

TextList DownloadPass::LuidsOfUnrecorded(const EtagList& local) {
  log_.Info(
      u"Deliver again the records of an unrecorded delivery that the cloud no longer has,"
      u"count is " +
      ToWide(static_cast<long long>(unrecorded_.size())));
  std::set<WString> guids;
  for (const StructRecord& record : unrecorded_) guids.insert(record.guid);
  const std::vector<UpdateResultRecord> results =
      host_->UpdateStructData(dataType_, unrecorded_, StructList());
  report_.Send(u"local_UpdateStructData", u"0", u"Call UpdateStructData");
  // A luid linked to another cloud record must not be deleted for this one.
  std::set<WString> linked;
  for (const EtagItem& row : local) linked.insert(row.luid);
  TextList luids;
  for (const UpdateResultRecord& result : results) {
    if (guids.count(result.guid) == 0 || linked.count(result.luid) != 0) continue;
    LogInfo(u"[ProcessDownloadStructData] Cloud deleted while unrecorded,guid:", result.guid,
            u",luid:", result.luid);
    luids.push_back(result.luid);
  }
  return luids;
}

int DownloadPass::Download(StructList* records) {
  const int code = net_->DownloadData(dataType_, std::move(downloadGuids_), *records);
  downloadGuids_.clear();
  // Modified records go back to the host under their local ids.
  for (StructRecord& record : *records) {
    const auto luid = guidToLuid_.find(record.guid);
    if (luid != guidToLuid_.end()) record.luid = luid->second;
  }
  const int result = MapCloudCode(code);
  if (result != 0) {
    const WString text = u"Download data failed,errorCode is " + ToWide(code);
    log_.Error(text);
    report_.Send(u"REPORT", result, text);
    return result;
  }
  report_.Send(u"REPORT", result, u"Download data success");
  return 0;
}

int DownloadPass::Deliver(StructList added, StructList modified, bool withModify) {
  // The host may store the additions and the process end before their rows are written;
  // without a durable entry such records could stay on the host for good.
  if (!added.empty() && !journal_.Record(unrecorded_, added)) {
    return StoreFailed(u"local_DeliveryJournal",
                       u"Record the delivery in the journal failed,nothing handed over");
  }
  std::unordered_set<WString> handedOver;
  handedOver.reserve(added.size() + modified.size());
  for (const StructRecord& record : added) handedOver.insert(record.guid);
  if (withModify) {
    for (const StructRecord& record : modified) handedOver.insert(record.guid);
  }
  const size_t handedOverCount = handedOver.size();
  log_.Info(u"Call UpdateStructData");
  const std::vector<UpdateResultRecord> results =
      host_->UpdateStructData(dataType_, std::move(added), std::move(modified));
  report_.Send(u"local_UpdateStructData", u"0", u"Call UpdateStructData");
  log_.Info(u"End call UpdateStructData");
  log_.Info(u"The number of successful records is " +
            ToWide(static_cast<long long>(results.size())));

  for (const UpdateResultRecord& result : results) {
    // A guid not handed over in this delivery (or answered twice) would get a row for a
    // record the host never received.
    if (handedOver.erase(result.guid) == 0) {
      LogError(u"[UpdateStructData] Result not asked for or repeated,ignored,guid:", result.guid,
               u",luid:", result.luid);
      continue;
    }
    if (withModify) {
      LogInfo(u"[UpdateStructData]Local return success,luid:", result.luid, u",guid:", result.guid);
    }
    const auto added = addIndex_.find(result.guid);
    if (added != addIndex_.end()) {
      LogInfo(u"[UpdateStructData] Local added success,guid:", result.guid, u",luid:", result.luid);
      EtagItem row = *added->second;
      row.luid = result.luid;
      row.type = dataType_;
      inserts_.push_back(std::move(row));
      continue;
    }
    if (!withModify) {
      LogInfo(u"[UpdateStructData] Local added success,guid:", result.guid, u",luid:", result.luid);
      continue;
    }
    const auto modified = modifyIndex_.find(result.guid);
    if (modified != modifyIndex_.end()) {
      LogInfo(u"[UpdateStructData] Local modified success,guid:", result.guid, u",luid:",
              result.luid);
      EtagUpdate update;
      update.whereFields[u"luid"] = result.luid;
      update.setFields[u"etag"] = modified->second->etag;
      updates_.push_back(std::move(update));
    }
  }
  if (!handedOver.empty()) {
    log_.Info(u"The number of records the host did not confirm is " +
              ToWide(static_cast<long long>(handedOver.size())) + u" of " +
              ToWide(static_cast<long long>(handedOverCount)));
    unconfirmedRecords_ += static_cast<long long>(handedOver.size());
  }
  return 0;
}

int DownloadPass::WriteAddedRows(bool evenWhenEmpty) {
  log_.Info(u"Insert added-item into database,count is " +
            ToWide(static_cast<long long>(inserts_.size())));
  if (!inserts_.empty() || evenWhenEmpty) {
    const bool ok = store_.InsertEtagDataBatch(inserts_);
    inserts_.clear();
    if (!ok) return StoreFailed(u"local_InsertEtagDataBatch", u"Insert added-item into database failed");
  }
  // The delivery is recorded; only what an earlier round left stays in flight.
  if (unrecorded_.empty()) {
    journal_.Empty();
  } else {
    journal_.Record(unrecorded_, StructList());
  }
  return 0;
}

int DownloadPass::WriteModifiedRows() {
  log_.Info(u"Update modified-item into database,count is " +
            ToWide(static_cast<long long>(updates_.size())));
  if (updates_.empty()) return 0;
  const bool ok = store_.UpdateEtagBatch(updates_);
  updates_.clear();
  if (!ok) return StoreFailed(u"local_UpdateEtagBatch", u"Update modified-item into database failed");
  return 0;
}

int DownloadPass::Run(const WString& currentCtag) {
  LogSyncBegin(log_.function());
  if (StopRequested()) return QUILLET_STOPPED;

  CtagItem ctagRow;
  store_.GetCtagDataItem(ctagRow, dataType_);
  log_.Info(u"Data type:" + dataType_ + u",local ctag:" + ctagRow.ctag_value + u",current ctag:" +
            currentCtag);

  // Additions an earlier round handed over without writing their rows (it ended between).
  const StructList inFlight = journal_.Read();
  EtagList cloudAdd, cloudModify, cloudDelete;
  EtagList local;
  if (ctagRow.ctag_value == currentCtag && inFlight.empty()) {
    log_.Info(u"Local ctag is equal to current ctag,no need to download");
  } else {
    log_.Info(u"Need download,get etag");
    EtagList cloud;
    const int result = MapCloudCode(net_->GetEtagList(dataType_, cloud));
    if (result != 0) {
      log_.Info(u"Get etag failed,end sync");
      report_.Send(u"PROPFIND", result, u"Get etag failed,end sync");
      return result;
    }
    log_.Info(u"The number of cloud record is " + ToWide(static_cast<long long>(cloud.size())));
    local.reserve(cloud.size());  // the rows are about the cloud's records, once in step
    if (!store_.GetEtagDataItemsByType(local, dataType_,
                                       DataBaseOperator::RowFields::kIdsAndEtag)) {
      log_.Error(u"Get etag from database failed,end sync");
      return QUILLET_ETAGS_UNREADABLE;
    }
    log_.Info(u"The number of local record is " + ToWide(static_cast<long long>(local.size())));
    CompareCloudToLocalEtags(cloud, local, cloudAdd, cloudModify, cloudDelete);
    if (!inFlight.empty()) unrecorded_ = Unrecorded(inFlight, cloud, local);
  }

  log_.Info(u"The number of cloud-add is " + ToWide(static_cast<long long>(cloudAdd.size())));
  log_.Info(u"The number of cloud-modify is " + ToWide(static_cast<long long>(cloudModify.size())));
  log_.Info(u"The number of cloud-delete is " + ToWide(static_cast<long long>(cloudDelete.size())));
  for (const EtagItem& item : cloudAdd) {
    LogInfo(u"[ProcessDownloadStructData] Cloud added,guid:", item.guid, u",etag:", item.etag);
    addIndex_.emplace(item.guid, &item);
  }
  for (const EtagItem& item : cloudModify) {
    LogInfo(u"[ProcessDownloadStructData] Cloud modified,guid:", item.guid, u",etag:", item.etag);
    modifyIndex_.emplace(item.guid, &item);
  }
  for (const EtagItem& item : cloudDelete) {
    LogInfo(u"[ProcessDownloadStructData] Cloud deleted,guid:", item.guid, u",etag:", item.etag);
  }

  std::map<WString, int> counts = {
      {u"cloudAdd", static_cast<int>(cloudAdd.size())},
      {u"cloudModify", static_cast<int>(cloudModify.size())},
      {u"cloudDelete", static_cast<int>(cloudDelete.size() + unrecorded_.size())}};
  log_.Info(u"Call OnDownloadSyncStart");
  if (StopRequested()) return QUILLET_STOPPED;
  host_->OnDownloadSyncStart(dataType_, std::move(counts));
  report_.Send(u"local_OnDownloadSyncStart", u"0", u"Call OnDownloadSyncStart");
  log_.Info(u"End call OnDownloadSyncStart");
  const TextList unrecordedLuids = unrecorded_.empty() ? TextList() : LuidsOfUnrecorded(local);

  // Additions: full batches are delivered at once; an incomplete last batch is downloaded
  // now and handed over with the first delivery of the modify stage.
  int count = 0;
  StructList pendingAdded;
  log_.Info(u"Process cloud-add records");
  for (const EtagItem& item : cloudAdd) {
    if (StopRequested()) return QUILLET_STOPPED;
    downloadGuids_.push_back(item.guid);
    if (++count < batchNumber_) continue;
    log_.Info(u"Meet batch requirements,download data");
    StructList downloaded;
    if (const int code = Download(&downloaded)) return code;
    if (const int code = Deliver(std::move(downloaded), StructList(), false)) return code;
    if (const int code = WriteAddedRows(true)) return code;
    count = 0;
  }
  if (count > 0) {
    log_.Info(u"Download data,count is " + ToWide(count));
    if (const int code = Download(&pendingAdded)) return code;
  }

  log_.Info(u"Process cloud-modify records");
  for (const EtagItem& item : cloudModify) {
    if (StopRequested()) return QUILLET_STOPPED;
    downloadGuids_.push_back(item.guid);
    guidToLuid_.emplace(item.guid, item.luid);
    if (++count < batchNumber_) continue;
    log_.Info(u"Meet batch requirements,download data");
    StructList modified;
    if (const int code = Download(&modified)) return code;
    if (const int code = Deliver(std::move(pendingAdded), std::move(modified), true)) return code;
    pendingAdded.clear();
    if (const int failed = WriteAddedRows(false)) return failed;
    if (const int failed = WriteModifiedRows()) return failed;
    guidToLuid_.clear();
    count = 0;
  }

  if (count >= 1) {
    if (StopRequested()) return QUILLET_STOPPED;
    StructList modified;
    if (!downloadGuids_.empty()) {
      if (const int code = Download(&modified)) return code;
    }
    if (const int code = Deliver(std::move(pendingAdded), std::move(modified), true)) return code;
    // The host holds these records now, so their rows are written even when a stop came
    // meanwhile; otherwise the next round would hand the added ones over again.
    const bool stopped = StopRequested();
    if (const int failed = WriteAddedRows(false)) return failed;
    if (const int failed = WriteModifiedRows()) return failed;
    if (stopped) return QUILLET_STOPPED;
  }

  log_.Info(u"Process cloud-delete records");
  TextList luids;
  luids.reserve(cloudDelete.size() + unrecordedLuids.size());
  for (const EtagItem& item : cloudDelete) luids.push_back(item.luid);
  luids.insert(luids.end(), unrecordedLuids.begin(), unrecordedLuids.end());
  log_.Info(u"Call DeleteData");
  if (StopRequested()) return QUILLET_STOPPED;
  std::unordered_set<WString> asked(luids.begin(), luids.end());
  TextList deleted = host_->DeleteData(dataType_, std::move(luids));
  // Only luids asked for, each once: another one would lose the link of a record the host
  // still holds, and the next round would upload it as new.
  KeepAskedOnce(
      deleted, asked, [](const WString& luid) -> const WString& { return luid; },
      [](const WString& luid) {
        LogError(u"[DeleteData] Luid not asked for or repeated,ignored,luid:", luid);
      });
  unconfirmedDeletions_ = static_cast<long long>(asked.size());
  report_.Send(u"local_DeleteData", u"0", u"Call DeleteData");
  log_.Info(u"End call DeleteData");
  if (!cloudDelete.empty()) {
    log_.Info(u"The number of successfully deleted locally is " +
              ToWide(static_cast<long long>(deleted.size())));
    for (const WString& luid : deleted) {
      LogInfo(u"[UpdateStructData] Local deleted success,luid:", luid);
    }
  }
  if (!deleted.empty()) {
    log_.Info(u"Delete database records");
    for (const WString& luid : deleted) LogInfo(u"Local deleted success,luid:", luid);
    if (!store_.DeleteEtagBatchWithUid(deleted, 0)) {
      return StoreFailed(u"local_DeleteEtagBatchWithUid", u"Delete database records failed,end sync");
    }
  }

  unrecorded_.clear();
  journal_.Clear();

  if (unconfirmedRecords_ > 0 || unconfirmedDeletions_ > 0) {
    // The ctag would make later rounds skip what the host did not take; kept as it was,
    // the next round lists the etags again and offers those records once more.
    const WString text = u"The host did not confirm " + ToWide(unconfirmedRecords_) +
                         u" records and " + ToWide(unconfirmedDeletions_) +
                         u" deletions,ctag not updated";
    log_.Info(text);
    report_.Send(u"local_UpdateCtagData", u"0", text);
    LogSyncDone(log_.function());
    return kDownloadLeftUnconfirmed;
  }
  log_.Info(u"Update ctag");
  if (!store_.UpdateCtagData(dataType_, currentCtag)) {
    return StoreFailed(u"local_UpdateCtagData", u"Update ctag failed,end sync");
  }
  LogSyncDone(log_.function());
  return 0;
}

}  // namespace

int ProcessDownloadStructData(NetConfig config, const WString& dataType, int batchNumber,
                              const WString& currentCtag, INetInterface* net,
                              const std::atomic<bool>& stop) {
  AdapterRef host = ActiveAdapter();
  if (!net || !host) return QUILLET_NO_CLIENT;
  AskedAnswersOnly asked(*net, config);
  DownloadPass pass(config, dataType, batchNumber, &asked, stop, std::move(host));
  return pass.Run(currentCtag);
}

}  // namespace quillet
