#include "sync/engine/cloud_writes.h"

#include "quillet.h"
#include "sync/engine/pass_support.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"

namespace quillet {

bool IsExceedLimit(const WString& dataType, int code) {
  return (dataType == u"bookmark" && code == 50001) || (dataType == u"pcbookmark" && code == 70001);
}

int CloudAddAndInsertEtag(INetInterface* net, const WString& dataType, TextPairList pairs,
                          StructList& results) {
  if (pairs.empty()) return 0;
  const StepLog log(u"CloudAddAndInsertEtag");
  log.Info(u"Begin upload");
  int code = -1;
  const std::map<WString, AddResult> answers = net->AddData(dataType, std::move(pairs), code);
  int result = MapCloudCode(code);

  std::vector<EtagItem> rows;
  rows.reserve(answers.size());
  results.reserve(results.size() + answers.size());
  for (const auto& entry : answers) {
    const WString& luid = entry.first;
    const AddResult& item = entry.second;
    if (!IsAccepted(item.status)) {
      LogError(u"[CloudAddAndInsertEtag] Upload failed,luid:", luid, u",errorCode:",
               ToWide(item.status));
      continue;
    }
    StructRecord& record = results.emplace_back();
    record.luid = luid;
    record.guid = item.guid;
    record.etag = item.etag;
    EtagItem& row = rows.emplace_back();
    row.luid = luid;
    row.type = dataType;
    row.etag = item.etag;
    row.guid = item.guid;
    LogInfo(u"[CloudAddAndInsertEtag] Upload success,guid:", item.guid, u",luid:", luid);
  }
  if (IsExceedLimit(dataType, code)) {
    LogError(u"Upload failed,exceed limit");
    result = QUILLET_LIMIT_REACHED;
  }
  log.Info(u"End upload,number of successfully uploaded is " +
           ToWide(static_cast<long long>(rows.size())));
  if (!DataBaseOperator::GetInstance().InsertEtagDataBatch(rows)) {
    LogError(u"Insert item into database failed,end sync");
    return QUILLET_STORE_FAILED;
  }
  return result;
}

int CloudUpdateAndInsertEtag(INetInterface* net, const WString& dataType, TextPairList pairs,
                             StructList& results) {
  const char16_t* tag = u"CloudUpdateAndInsertEtag";
  LogSyncBegin(tag);
  if (pairs.empty()) {
    LogSyncDone(tag);
    return 0;
  }
  int code = -1;
  const std::map<WString, UpdateResult> answers = net->UpdateData(dataType, std::move(pairs), code);
  // A request that failed as a whole fails the batch, as for additions: reporting success
  // would let the round store a ctag that covers changes this device never saw confirmed.
  int result = MapCloudCode(code);
  std::vector<EtagUpdate> updates;
  for (const auto& entry : answers) {
    const WString& guid = entry.first;
    const UpdateResult& item = entry.second;
    if (!IsAccepted(item.status)) {
      result = MapCloudCode(item.status);
      LogError(u"[CloudUpdateAndInsertEtag] Upload failed,guid:", guid, u",errorCode:",
               ToWide(item.status));
      continue;
    }
    StructRecord record;
    record.luid = guid;
    record.guid = guid;
    record.etag = item.etag;
    results.push_back(std::move(record));
    EtagUpdate update;
    update.whereFields[u"guid"] = guid;
    update.setFields[u"etag"] = item.etag;
    updates.push_back(std::move(update));
    LogInfo(u"[CloudUpdateAndInsertEtag] Upload success,guid:", guid);
  }
  const bool stored = DataBaseOperator::GetInstance().UpdateEtagBatch(updates);
  LogSyncDone(tag);
  return stored ? result : QUILLET_STORE_FAILED;
}

int CloudDelAndDelEtag(INetInterface* net, const WString& dataType, TextList guids,
                       TextList& deleted) {
  if (guids.empty()) return 0;
  int code = -1;
  const std::map<WString, int> answers = net->RemoveData(dataType, std::move(guids), code);
  for (const auto& entry : answers) {
    if (!IsAccepted(entry.second)) {
      LogInfo(u"[CloudDelAndDelEtag] Upload failed,guid:", entry.first, u",errorCode:",
              ToWide(entry.second));
      continue;
    }
    deleted.push_back(entry.first);
    LogInfo(u"[CloudDelAndDelEtag] Upload success,guid:", entry.first);
  }
  if (!DataBaseOperator::GetInstance().DeleteEtagBatchWithUid(deleted, 1)) {
    return QUILLET_STORE_FAILED;
  }
  // Rejected items do not fail the batch, but a request that failed as a whole does.
  return MapCloudCode(code);
}

}  // namespace quillet
