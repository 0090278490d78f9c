#include "sync/e2e/model_host.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <utility>

namespace quillet {
namespace e2e {
namespace {

std::atomic<ModelDevice*> g_active{nullptr};

char* Dup(const std::string& text) {
  char* out = static_cast<char*>(malloc(text.size() + 1));
  if (out) memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

std::string Text(const char* text) { return text ? text : ""; }

// ---- The C table: each entry forwards to the active device.

void QUILLET_CALL CbDownloadStart(const char*, int add, int modify, int del) {
  if (ModelDevice* d = ModelDevice::Active()) d->OnDownloadSyncStart(add, modify, del);
}
void QUILLET_CALL CbUploadStart(const char*) {
  if (ModelDevice* d = ModelDevice::Active()) d->OnUploadSyncStart();
}
void QUILLET_CALL CbUpdateStructData(const char*, const StructDataItem* added, int addedCount,
                                     const StructDataItem* modified, int modifiedCount,
                                     UpdateResultItem** results, int* resultCount) {
  if (ModelDevice* d = ModelDevice::Active()) {
    d->UpdateStructData(added, addedCount, modified, modifiedCount, results, resultCount);
  }
}
void QUILLET_CALL CbFreeUpdateResults(UpdateResultItem* results, int count) {
  for (int i = 0; i < count; ++i) {
    free(const_cast<char*>(results[i].luid));
    free(const_cast<char*>(results[i].guid));
  }
  if (ModelDevice* d = ModelDevice::Active())
    d->Released("FreeUpdateStructDataResult", results, count);
  free(results);
}
void QUILLET_CALL CbGetNewAT(char** token) {
  if (ModelDevice* d = ModelDevice::Active()) d->GetNewAT(token);
}
void QUILLET_CALL CbFreeAT(char* token) { free(token); }
void QUILLET_CALL CbDeleteData(const char*, const char** luids, int count, char*** results,
                               int* resultCount) {
  if (ModelDevice* d = ModelDevice::Active()) d->DeleteData(luids, count, results, resultCount);
}
void QUILLET_CALL CbFreeDeleteResults(char** results, int count) {
  for (int i = 0; i < count; ++i) free(results[i]);
  if (ModelDevice* d = ModelDevice::Active()) d->Released("FreeDeleteDataResult", results, count);
  free(results);
}
void QUILLET_CALL CbQueryLocalIds(const char*, int, LocalIdItem** items, int* count) {
  if (ModelDevice* d = ModelDevice::Active()) d->QueryLocalIds(items, count);
}
void QUILLET_CALL CbFreeLocalIds(LocalIdItem* items, int count) {
  // The luids share one block, which starts with the first of them.
  if (count > 0) free(const_cast<char*>(items[0].luid));
  if (ModelDevice* d = ModelDevice::Active()) d->Released("FreeLocalIdList", items, count);
  free(items);
}
void QUILLET_CALL CbDataQueryByID(const char*, const char** luids, int count,
                                  QueryResultItem** results, int* resultCount) {
  if (ModelDevice* d = ModelDevice::Active()) d->DataQueryByID(luids, count, results, resultCount);
}
void QUILLET_CALL CbFreeQueryResults(QueryResultItem* results, int count) {
  for (int i = 0; i < count; ++i) {
    free(const_cast<char*>(results[i].luid));
    free(const_cast<char*>(results[i].data));
    free(const_cast<char*>(results[i].textA));
    free(const_cast<char*>(results[i].textC));
  }
  if (ModelDevice* d = ModelDevice::Active()) d->Released("FreeQueryResultList", results, count);
  free(results);
}
void QUILLET_CALL CbReserved(const char*, const FileItem*, int, const FileItem*, int,
                             const KeyedTextList*, int, unsigned char, int) {}
void QUILLET_CALL CbUpdateSyncResult(const char*, const StructDataItem* added, int addedCount,
                                     const StructDataItem* modified, int modifiedCount,
                                     const char** deleted, int deletedCount, const KeyedTextList*,
                                     int) {
  if (ModelDevice* d = ModelDevice::Active()) {
    d->UpdateSyncResult(added, addedCount, modified, modifiedCount, deleted, deletedCount);
  }
}
void QUILLET_CALL CbDataSyncEnd(const char*, int code) {
  if (ModelDevice* d = ModelDevice::Active()) d->OnDataSyncEnd(code);
}
void QUILLET_CALL CbSyncEnd() {
  if (ModelDevice* d = ModelDevice::Active()) d->OnSyncEnd();
}
void QUILLET_CALL CbReport(int, const char* id, const char** keys, const char** values,
                           int count) {
  if (ModelDevice* d = ModelDevice::Active()) d->Report(id, keys, values, count);
}

}  // namespace

ModelDevice::ModelDevice(std::string name, const std::string& baseDir, std::string serverUrl,
                         std::string userId, std::string token)
    : name_(std::move(name)),
      dbPath_((std::filesystem::path(baseDir) / name_ / "db").string()),
      logPath_((std::filesystem::path(baseDir) / name_ / "log").string()),
      serverUrl_(std::move(serverUrl)),
      userId_(std::move(userId)),
      token_(std::move(token)) {
  std::filesystem::create_directories(dbPath_);
  std::filesystem::create_directories(logPath_);
}

ModelDevice::~ModelDevice() {
  ModelDevice* self = this;
  if (g_active.compare_exchange_strong(self, nullptr)) UninitCloudSync();
}

ModelDevice* ModelDevice::Active() { return g_active.load(); }

SyncCallbacks ModelDevice::Callbacks() {
  return SyncCallbacks{CbDownloadStart, CbUploadStart,      CbUpdateStructData, CbFreeUpdateResults,
                       CbGetNewAT,      CbFreeAT,           CbDeleteData,       CbFreeDeleteResults,
                       CbQueryLocalIds, CbFreeLocalIds,     CbDataQueryByID,    CbFreeQueryResults,
                       CbReserved,      CbUpdateSyncResult, CbDataSyncEnd,      CbSyncEnd,
                       CbReport};
}

void ModelDevice::Report(const char* id, const char** keys, const char** values, int count) {
  std::string info;
  for (int i = 0; i < count; ++i) {
    if (keys[i] != nullptr && values[i] != nullptr && std::string(keys[i]) == "syncInfo") {
      info = values[i];
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.emplace_back(id != nullptr ? id : "", info);
}

std::vector<std::pair<std::string, std::string>> ModelDevice::Reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

std::string ModelDevice::Add(const std::string& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string luid = std::to_string(nextLuid_++);
  records_[luid] = ModelRecord{data, "", 1};
  return luid;
}

bool ModelDevice::Modify(const std::string& luid, const std::string& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = records_.find(luid);
  if (it == records_.end()) return false;
  it->second.data = data;
  it->second.state = 1;
  return true;
}

bool ModelDevice::Remove(const std::string& luid) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = records_.find(luid);
  if (it == records_.end()) return false;
  if (!it->second.guid.empty()) byGuid_.erase(it->second.guid);
  records_.erase(it);
  return true;
}

void ModelDevice::Activate() {
  UninitCloudSync();
  const CloudSyncInitInfo info{kSyncType,       token_.c_str(),   userId_.c_str(),   "quillet-e2e",
                               dbPath_.c_str(), logPath_.c_str(), serverUrl_.c_str()};
  const SyncCallbacks callbacks = Callbacks();
  g_active.store(this);
  InitCloudSync(&info, &callbacks);
}

int ModelDevice::Sync(int batchNumber) {
  Activate();
  const int code = SyncDataWithReason(kSyncType, kDataType, 1, batchNumber, 1);
  const char* none[1] = {nullptr};
  EndSync(kSyncType, none, 0, none, 0);
  return code;
}

std::map<std::string, ModelRecord> ModelDevice::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::map<std::string, std::string> ModelDevice::ByGuid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, std::string> out;
  for (const auto& [luid, record] : records_) {
    if (!record.guid.empty()) out[record.guid] = record.data;
  }
  return out;
}

std::string ModelDevice::LuidOf(const std::string& guid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byGuid_.find(guid);
  return it == byGuid_.end() ? std::string() : it->second;
}

std::vector<std::string> ModelDevice::Problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> problems;
  std::set<std::string> guids;
  for (const auto& [luid, record] : records_) {
    if (record.guid.empty()) problems.push_back(name_ + ": luid " + luid + " has no guid");
    if (record.state == 1) problems.push_back(name_ + ": luid " + luid + " still marked changed");
    if (!record.guid.empty() && !guids.insert(record.guid).second) {
      problems.push_back(name_ + ": guid " + record.guid + " held twice");
    }
  }
  return problems;
}

std::vector<HostEvent> ModelDevice::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<HostEvent> ModelDevice::EventsOf(const std::string& entry) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<HostEvent> out;
  for (const HostEvent& event : events_) {
    if (event.entry == entry) out.push_back(event);
  }
  return out;
}

void ModelDevice::ClearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

int ModelDevice::redeliveredAdds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return redeliveredAdds_;
}

int ModelDevice::adoptedAdds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return adoptedAdds_;
}

int ModelDevice::getNewAtCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return getNewAtCalls_;
}

size_t ModelDevice::OutstandingArrays() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outstanding_.size();
}

std::vector<std::string> ModelDevice::FreeErrors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return freeErrors_;
}

void ModelDevice::Note(HostEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keepEvents) events_.push_back(event);
  }
  if (onCall) onCall(event);
}

void* ModelDevice::Track(void* array, int count) {
  if (array) outstanding_[array] = count;
  return array;
}

void ModelDevice::Released(const char* entry, void* array, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = outstanding_.find(array);
  if (it == outstanding_.end()) {
    freeErrors_.push_back(std::string(entry) + ": unknown array");
  } else {
    if (it->second != count) freeErrors_.push_back(std::string(entry) + ": wrong count");
    outstanding_.erase(it);
  }
}

std::string ModelDevice::UnsentWithData(const std::string& data) const {
  if (byGuid_.size() == records_.size()) return std::string();  // every record is known
  for (const auto& entry : records_) {
    const ModelRecord& record = entry.second;
    if (record.guid.empty() && record.state == 1 && record.data == data) return entry.first;
  }
  return std::string();
}

void ModelDevice::SetGuid(const std::string& luid, const std::string& guid) {
  ModelRecord& record = records_[luid];
  if (record.guid == guid) return;
  if (!record.guid.empty()) byGuid_.erase(record.guid);
  record.guid = guid;
  if (!guid.empty()) byGuid_[guid] = luid;
}

void ModelDevice::OnDownloadSyncStart(int add, int modify, int del) {
  Note({"OnDownloadSyncStart", {add, modify, del}, {}});
}

void ModelDevice::OnUploadSyncStart() { Note({"OnUploadSyncStart", {}, {}}); }

void ModelDevice::UpdateStructData(const StructDataItem* added, int addedCount,
                                   const StructDataItem* modified, int modifiedCount,
                                   UpdateResultItem** results, int* resultCount) {
  HostEvent event{"UpdateStructData", {addedCount, modifiedCount}, {}};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, std::string>> stored;  // luid, guid
    for (int i = 0; i < addedCount && !storageFails; ++i) {
      const std::string guid = Text(added[i].guid);
      if (guid.empty()) continue;
      // A record already held under this guid (an earlier delivery whose bookkeeping did
      // not finish) is matched, not stored twice.
      auto known = byGuid_.find(guid);
      std::string luid;
      if (known != byGuid_.end()) {
        ++redeliveredAdds_;
        luid = known->second;
        ModelRecord& record = records_[luid];
        if (record.state != 1 || !keepLocalEdits) {
          record.data = Text(added[i].data);
          record.state = 0;
        }
      } else if (!(luid = UnsentWithData(Text(added[i].data))).empty()) {
        // Our own upload whose answer was lost: the cloud's copy is adopted, not doubled.
        ++adoptedAdds_;
        records_[luid].state = 0;
        SetGuid(luid, guid);
      } else {
        luid = std::to_string(nextLuid_++);
        records_[luid] = ModelRecord{Text(added[i].data), "", 0};
        SetGuid(luid, guid);
      }
      stored.emplace_back(luid, guid);
    }
    for (int i = 0; i < modifiedCount; ++i) {
      const std::string luid = Text(modified[i].luid);
      const std::string guid = Text(modified[i].guid);
      event.luids.push_back(luid);
      if (storageFails) continue;
      auto it = records_.find(luid);
      if (it == records_.end()) continue;  // removed here meanwhile: not confirmed
      if (it->second.state != 1 || !keepLocalEdits) {
        it->second.data = Text(modified[i].data);
        it->second.state = 0;
      }
      SetGuid(luid, guid);
      stored.emplace_back(luid, guid);
    }
    stored.insert(stored.end(), extraStoredResults.begin(), extraStoredResults.end());
    if (!stored.empty()) {
      auto* out = static_cast<UpdateResultItem*>(calloc(stored.size(), sizeof(UpdateResultItem)));
      for (size_t i = 0; out && i < stored.size(); ++i) {
        out[i].luid = Dup(stored[i].first);
        out[i].guid = Dup(stored[i].second);
      }
      if (out) {
        *results = static_cast<UpdateResultItem*>(Track(out, static_cast<int>(stored.size())));
        *resultCount = static_cast<int>(stored.size());
      }
    }
  }
  Note(std::move(event));
}

void ModelDevice::GetNewAT(char** token) {
  std::string fresh;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++getNewAtCalls_;
    fresh = freshToken;
  }
  if (!fresh.empty()) *token = Dup(fresh);
  Note({"GetNewAT", {}, {}});
}

void ModelDevice::DeleteData(const char** luids, int count, char*** results, int* resultCount) {
  HostEvent event{"DeleteData", {count}, {}};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> deleted;
    for (int i = 0; i < count; ++i) {
      const std::string luid = Text(luids[i]);
      event.luids.push_back(luid);
      if (storageFails) continue;
      auto it = records_.find(luid);
      if (it != records_.end()) {
        if (!it->second.guid.empty()) byGuid_.erase(it->second.guid);
        records_.erase(it);
      }
      // One no longer held is gone all the same, so the library may drop its etag row.
      deleted.push_back(luid);
    }
    deleted.insert(deleted.end(), extraDeletedLuids.begin(), extraDeletedLuids.end());
    if (!deleted.empty()) {
      auto* out = static_cast<char**>(calloc(deleted.size(), sizeof(char*)));
      for (size_t i = 0; out && i < deleted.size(); ++i) out[i] = Dup(deleted[i]);
      if (out) {
        *results = static_cast<char**>(Track(out, static_cast<int>(deleted.size())));
        *resultCount = static_cast<int>(deleted.size());
      }
    }
  }
  Note(std::move(event));
}

void ModelDevice::QueryLocalIds(LocalIdItem** items, int* count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (badIdList == BadIdList::kNegativeCount) {
      *items = static_cast<LocalIdItem*>(Track(calloc(1, sizeof(LocalIdItem)), -1));
      *count = -1;
      badIdList = BadIdList::kNone;
    } else if (badIdList == BadIdList::kNullWithCount) {
      *items = nullptr;
      *count = static_cast<int>(records_.size());
      badIdList = BadIdList::kNone;
    } else if (!records_.empty()) {
      // One block for all the luids, as a host listing many ids would do it.
      size_t bytes = 0;
      for (const auto& entry : records_) bytes += entry.first.size() + 1;
      auto* out = static_cast<LocalIdItem*>(calloc(records_.size(), sizeof(LocalIdItem)));
      char* texts = static_cast<char*>(malloc(bytes));
      if (out && texts) {
        size_t i = 0;
        for (const auto& [luid, record] : records_) {
          memcpy(texts, luid.c_str(), luid.size() + 1);
          out[i].luid = texts;
          out[i].state = record.state;
          texts += luid.size() + 1;
          ++i;
        }
        *items = static_cast<LocalIdItem*>(Track(out, static_cast<int>(i)));
        *count = static_cast<int>(i);
      } else {
        free(out);
        free(texts);
      }
    }
  }
  Note({"QueryLocalIds", {}, {}});
}

void ModelDevice::DataQueryByID(const char** luids, int count, QueryResultItem** results,
                                int* resultCount) {
  HostEvent event{"DataQueryByID", {count}, {}};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, std::string>> found;
    for (int i = 0; i < count; ++i) {
      const std::string luid = Text(luids[i]);
      event.luids.push_back(luid);
      auto it = records_.find(luid);
      if (it != records_.end()) found.emplace_back(luid, it->second.data);
    }
    for (const std::string& luid : extraQueryLuids) {
      auto it = records_.find(luid);
      found.emplace_back(luid, it != records_.end() ? it->second.data : "not asked " + luid);
    }
    const size_t nulls = found.size();
    for (int i = 0; i < extraNullLuids; ++i) found.emplace_back("", "null luid " + std::to_string(i));
    if (!found.empty()) {
      auto* out = static_cast<QueryResultItem*>(calloc(found.size(), sizeof(QueryResultItem)));
      for (size_t i = 0; out && i < found.size(); ++i) {
        out[i].luid = i < nulls ? Dup(found[i].first) : nullptr;
        out[i].data = Dup(found[i].second);
        out[i].textA = Dup("");
        out[i].textC = Dup("");
      }
      if (out) {
        *results = static_cast<QueryResultItem*>(Track(out, static_cast<int>(found.size())));
        *resultCount = static_cast<int>(found.size());
      }
    }
  }
  Note(std::move(event));
}

void ModelDevice::UpdateSyncResult(const StructDataItem* added, int addedCount,
                                   const StructDataItem* modified, int modifiedCount,
                                   const char** deletedGuids, int deletedCount) {
  HostEvent event{"UpdateSyncResult", {addedCount, modifiedCount, deletedCount}, {}};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < addedCount; ++i) {
      const std::string luid = Text(added[i].luid);
      event.luids.push_back(luid);
      auto it = records_.find(luid);
      if (it == records_.end()) continue;
      SetGuid(luid, Text(added[i].guid));
      it->second.state = 0;
    }
    for (int i = 0; i < modifiedCount; ++i) {
      const std::string luid = Text(modified[i].luid);
      event.luids.push_back(luid);
      auto it = records_.find(luid);
      if (it != records_.end()) it->second.state = 0;
    }
    (void)deletedGuids;  // already gone here
  }
  Note(std::move(event));
}

void ModelDevice::OnDataSyncEnd(int code) { Note({"OnDataSyncEnd", {code}, {}}); }

void ModelDevice::OnSyncEnd() { Note({"OnSyncEnd", {}, {}}); }

}  // namespace e2e
}  // namespace quillet
