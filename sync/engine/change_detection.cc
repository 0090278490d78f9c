#include "sync/engine/change_detection.h"

#include <string_view>
#include <unordered_map>

#include "quillet.h"
#include "sync/interface/active_adapter.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"

namespace quillet {
namespace {

// Key -> first entry with that key, for lookups only (never iterated, so no order is
// needed). Keys and values point into the input list, which outlives the index: no copies.
template <typename Item>
using Index = std::unordered_map<std::u16string_view, const Item*>;

template <typename Item, typename KeyOf>
Index<Item> FirstByKey(const std::vector<Item>& items, KeyOf keyOf) {
  Index<Item> index;
  index.reserve(items.size());
  for (const Item& item : items) index.emplace(keyOf(item), &item);
  return index;
}

template <typename Item>
const Item* Find(const Index<Item>& index, std::u16string_view key) {
  const auto found = index.find(key);
  return found == index.end() ? nullptr : found->second;
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

  for (const EtagItem& entry : cloud) {
    // A guid the cloud lists twice would otherwise reach the host twice.
    if (Find(cloudIndex, entry.guid) != &entry) continue;
    const EtagItem* stored = Find(localIndex, entry.guid);
    if (stored == nullptr) {
      cloudAdd.push_back(entry);
    } else if (entry.etag != stored->etag) {
      cloudModify.push_back(entry);
      cloudModify.back().luid = stored->luid;
    }
  }
  for (const EtagItem& row : local) {
    if (Find(cloudIndex, row.guid) == nullptr) cloudDelete.push_back(row);
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
    bool changed = false;
    bool judged = false;
    const EtagItem* stored = nullptr;  // the first row of this luid
  };
  std::unordered_map<std::u16string_view, Judgement> localIndex;
  localIndex.reserve(localIds.size());
  for (const LocalIdRecord& record : localIds) localIndex[record.luid].changed |= record.state == 1;
  std::vector<const EtagItem*> deleted;
  for (const EtagItem& row : db) {
    const auto local = localIndex.find(row.luid);
    if (local == localIndex.end()) {
      deleted.push_back(&row);
    } else if (local->second.stored == nullptr) {
      local->second.stored = &row;
    }
  }
  for (const LocalIdRecord& record : localIds) {
    Judgement& judgement = localIndex.find(record.luid)->second;
    if (judgement.judged) continue;
    judgement.judged = true;
    if (!judgement.changed) continue;
    EtagList& list = judgement.stored == nullptr ? localAdd : localModify;
    EtagItem& entry = list.emplace_back();
    entry.luid = record.luid;
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
  const std::vector<LocalIdRecord> localIds = host->QueryLocalIds(dataType, 1);
  LogSync(u"Info", tag, u"End call QueryLocalIds");
  LogSync(u"Info", tag, u"The number of local record is " + ToWide(localIds.size()));

  EtagList db;
  if (!DataBaseOperator::GetInstance().GetEtagDataItemsByType(db, dataType)) {
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
