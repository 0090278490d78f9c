#include "sync/engine/change_detection.h"

#include <string_view>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/engine/key_index.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"

namespace quillet {
namespace {

// Key -> position of the first entry with that key. The keys are views into the list,
// which outlives the index: no copies.
template <typename Item, typename KeyOf>
KeyIndex FirstByKey(const std::vector<Item>& items, KeyOf keyOf) {
  KeyIndex index(items.size());
  for (size_t i = 0; i < items.size(); ++i) index.Insert(keyOf(items[i]), static_cast<uint32_t>(i));
  return index;
}

void LogLuids(const EtagList& entries, const char16_t* heading, const WString& prefix) {
  if (entries.empty()) return;
  LogInfo(heading);
  for (const EtagItem& entry : entries) LogInfo(prefix, entry.luid);
}

}  // namespace

void CompareCloudToLocalEtags(const EtagList& cloud, const EtagList& local, EtagList& cloudAdd,
                              EtagList& cloudModify, EtagList& cloudDelete) {
  LogSyncBegin(u"CompareCloudToLocalEtags");
  const auto byGuid = [](const EtagItem& item) -> const WString& { return item.guid; };
  const auto cloudIndex = FirstByKey(cloud, byGuid);
  const auto localIndex = FirstByKey(local, byGuid);

  for (size_t i = 0; i < cloud.size(); ++i) {
    const EtagItem& entry = cloud[i];
    // A guid the cloud lists twice would otherwise reach the host twice.
    if (cloudIndex.Find(entry.guid) != i) continue;
    const uint32_t stored = localIndex.Find(entry.guid);
    if (stored == KeyIndex::kNone) {
      cloudAdd.push_back(entry);
    } else if (entry.etag != local[stored].etag) {
      cloudModify.push_back(entry);
      cloudModify.back().luid = local[stored].luid;
    }
  }
  for (const EtagItem& row : local) {
    if (cloudIndex.Find(row.guid) == KeyIndex::kNone) cloudDelete.push_back(row);
  }
  LogSyncDone(u"CompareCloudToLocalEtags");
}

void CompareLocalToCloudEtags(const std::vector<LocalIdRecord>& localIds, const EtagList& db,
                              const WString& dataType, EtagList& localAdd, EtagList& localModify,
                              EtagList& localDelete) {
  LogSyncBegin(u"CompareLocalToCloudEtags");
  // A luid the host lists twice is judged once, at its first entry, and is to be uploaded
  // when any of its entries says so: an edit must not hide behind an older, clean entry.
  // One index of the host's luids serves both directions: each stored row looks itself up
  // in it once.
  struct Judgement {
    const LocalIdRecord* first = nullptr;  // the host's first entry of this luid
    bool changed = false;
    const EtagItem* stored = nullptr;  // the first row of this luid
  };
  // One judgement per luid, in the order the host first lists them.
  std::vector<Judgement> judgements;
  judgements.reserve(localIds.size());
  KeyIndex localIndex(localIds.size());
  for (const LocalIdRecord& record : localIds) {
    const uint32_t next = static_cast<uint32_t>(judgements.size());
    const uint32_t at = localIndex.Insert(record.luid, next);
    if (at == next) judgements.push_back(Judgement{&record});
    judgements[at].changed |= record.state == 1;
  }
  std::vector<const EtagItem*> deleted;
  for (const EtagItem& row : db) {
    const uint32_t at = localIndex.Find(row.luid);
    if (at == KeyIndex::kNone) {
      deleted.push_back(&row);
    } else if (judgements[at].stored == nullptr) {
      judgements[at].stored = &row;
    }
  }
  for (const Judgement& judgement : judgements) {
    if (!judgement.changed) continue;
    EtagList& list = judgement.stored == nullptr ? localAdd : localModify;
    EtagItem& entry = list.emplace_back();
    entry.luid = judgement.first->luid;
    entry.type = dataType;
    if (judgement.stored != nullptr) entry.guid = judgement.stored->guid;
  }
  for (const EtagItem* row : deleted) {
    localDelete.push_back(*row);
    localDelete.back().type = dataType;
  }
  LogSyncDone(u"CompareLocalToCloudEtags");
}

void PrintLogForLocalChange(const EtagList& localAdd, const EtagList& localModify,
                            const EtagList& localDelete) {
  const char16_t* tag = u"PrintLogForLocalChange";
  LogSync(u"Info", tag, u"The number of local-add is " + ToWide(localAdd.size()));
  LogSync(u"Info", tag, u"The number of local-modify is " + ToWide(localModify.size()));
  LogSync(u"Info", tag, u"The number of local-delete is " + ToWide(localDelete.size()));
  LogLuids(localAdd, u"Local added records:", u"[ProcessUploadStrucData] Local added,luid:");
  LogLuids(localModify, u"Local modified records:",
           u"[ProcessUploadStrucData] Local modified,luid:");
  LogLuids(localDelete, u"Local deleted records:", u"[ProcessUploadStrucData] Local deleted,luid:");
}

int IdentifyLocalChange(const WString& dataType, EtagList& localAdd, EtagList& localModify,
                        EtagList& localDelete) {
  const char16_t* tag = u"IdentifyLocalChange";
  const AdapterRef host = ActiveAdapter();
  if (!host) {
    // Without the host's ids every stored row would read as a local deletion.
    const WString text = u"SyncProcessAdapter is empty";
    LogSync(u"Error", tag, text);
    LogError(text);
    return QUILLET_INTERNAL_ERROR;
  }
  LogSync(u"Info", tag, u"Call QueryLocalIds");
  std::vector<LocalIdRecord> localIds;
  const bool valid = host->QueryLocalIdList(dataType, 1, localIds);
  LogSync(u"Info", tag, u"End call QueryLocalIds");
  if (!valid) {
    // Read as "no records", every synced record would be removed from the cloud.
    const WString text = u"QueryLocalIds answered an invalid list,nothing uploaded,end sync";
    LogSync(u"Error", tag, text);
    LogError(text);
    return QUILLET_INVALID_CALL;
  }
  LogSync(u"Info", tag, u"The number of local record is " + ToWide(localIds.size()));

  EtagList db;
  db.reserve(localIds.size());  // the rows are about the host's records, once in step
  if (!DataBaseOperator::GetInstance().GetEtagDataItemsByType(db, dataType,
                                                              DataBaseOperator::RowFields::kIds)) {
    const WString text = u"Get etag form database failed,end sync";
    LogSync(u"Error", tag, text);
    LogError(text);
    return QUILLET_ETAGS_UNREADABLE;
  }
  LogSync(u"Info", tag, u"The number of db record is " + ToWide(db.size()));

  CompareLocalToCloudEtags(localIds, db, dataType, localAdd, localModify, localDelete);
  PrintLogForLocalChange(localAdd, localModify, localDelete);

  LogSync(u"Info", tag, u"Call OnUploadSyncStart");
  host->OnUploadSyncStart(dataType);
  LogSync(u"Info", tag, u"End call OnUploadSyncStart");
  return 0;
}

}  // namespace quillet
