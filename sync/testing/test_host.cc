#include "sync/testing/test_host.h"

#include <cstring>
#include <stdexcept>

namespace quillet {
namespace testing {
namespace {

TestHost* g_host = nullptr;

std::string Str(const char* text) { return text ? text : "<null>"; }

char* Dup(const std::string& text) {
  char* out = new char[text.size() + 1];
  std::memcpy(out, text.data(), text.size() + 1);
  return out;
}

std::string FilesText(const FileItem* files, int count) {
  std::string out;
  for (int i = 0; files && i < count; ++i) {
    if (i) out += ";";
    out += Str(files[i].itemA) + "|" + Str(files[i].itemB) + "|" + Str(files[i].itemC) + "|" +
           Str(files[i].itemD);
  }
  return out;
}

std::vector<FieldMap> Structs(const StructDataItem* items, int count) {
  std::vector<FieldMap> out;
  for (int i = 0; items && i < count; ++i) {
    const StructDataItem& s = items[i];
    out.push_back({{"luid", Str(s.luid)},
                   {"textA", Str(s.textA)},
                   {"guid", Str(s.guid)},
                   {"etag", Str(s.etag)},
                   {"numberA", std::to_string(s.numberA)},
                   {"textC", Str(s.textC)},
                   {"textD", Str(s.textD)},
                   {"data", Str(s.data)},
                   {"numberB", std::to_string(s.numberB)},
                   {"numberC", std::to_string(s.numberC)},
                   {"filesA", FilesText(s.filesA, s.filesACount)},
                   {"filesB", FilesText(s.filesB, s.filesBCount)},
                   {"filesC", FilesText(s.filesC, s.filesCCount)}});
  }
  return out;
}

std::vector<std::string> Texts(const char** texts, int count) {
  std::vector<std::string> out;
  for (int i = 0; texts && i < count; ++i) out.push_back(Str(texts[i]));
  return out;
}

TestHost& Host() {
  if (!g_host) throw std::logic_error("no TestHost installed");
  return *g_host;
}

// Hands out a scripted array: null with a count, or items (reported with count 0 when asked).
template <typename T, typename Item, typename Fill>
void Hand(const Answer<Item>& answer, T** out, int* count, Fill fill) {
  if (answer.nullPointer) {
    *out = nullptr;
    *count = answer.nullCount;
    return;
  }
  if (answer.items.empty() && !answer.zeroCount) return;
  const size_t n = answer.items.size();
  T* array = new T[n == 0 ? 1 : n]();
  for (size_t i = 0; i < n; ++i) fill(answer.items[i], &array[i]);
  *out = array;
  *count = answer.zeroCount ? 0 : static_cast<int>(n);
  Host().Track(array, static_cast<int>(n), *count);
}

void FreeFiles(FileItem* files, int count) {
  for (int i = 0; files && i < count; ++i) {
    delete[] files[i].itemA;
    delete[] files[i].itemB;
    delete[] files[i].itemC;
    delete[] files[i].itemD;
  }
  delete[] files;
}

void OnDownloadSyncStart(const char* dataType, int add, int modify, int del) {
  Host().Record({"OnDownloadSyncStart", {Str(dataType)}, {add, modify, del}, {}, {}, {}});
}

void OnUploadSyncStart(const char* dataType) {
  Host().Record({"OnUploadSyncStart", {Str(dataType)}, {}, {}, {}, {}});
}

void UpdateStructData(const char* dataType, const StructDataItem* added, int addedCount,
                      const StructDataItem* modified, int modifiedCount, UpdateResultItem** results,
                      int* resultCount) {
  Host().Record({"UpdateStructData",
                 {Str(dataType), *results == nullptr && *resultCount == 0 ? "preset" : "dirty"},
                 {addedCount, modifiedCount},
                 {},
                 {Structs(added, addedCount), Structs(modified, modifiedCount)},
                 {}});
  Answer<UpdateAnswerItem> answer = Host().updateAnswer;
  if (Host().updateConfirmsAll) {
    for (int i = 0; added && i < addedCount; ++i) {
      answer.items.push_back({"L-" + Str(added[i].guid), Str(added[i].guid), 0});
    }
    for (int i = 0; modified && i < modifiedCount; ++i) {
      answer.items.push_back({Str(modified[i].luid), Str(modified[i].guid), 0});
    }
  }
  Hand(answer, results, resultCount, [](const UpdateAnswerItem& a, UpdateResultItem* r) {
    r->luid = Dup(a.luid);
    r->guid = Dup(a.guid);
    r->numberA = a.numberA;
  });
}

void FreeUpdateStructDataResult(UpdateResultItem* results, int count) {
  Host().Record({"FreeUpdateStructDataResult", {}, {count}, {}, {}, {}});
  Host().Release("FreeUpdateStructDataResult", results, count);
}

void GetNewAT(char** token) {
  Host().Record({"GetNewAT", {*token == nullptr ? "preset" : "dirty"}, {}, {}, {}, {}});
  if (Host().token) *token = static_cast<char*>(Host().Track(Dup(*Host().token), 1, 1));
}

void FreeAT(char* token) {
  Host().Record({"FreeAT", {Str(token)}, {}, {}, {}, {}});
  if (token) Host().Release("FreeAT", token, 1);
}

void DeleteData(const char* dataType, const char** luids, int luidCount, char*** results,
                int* resultCount) {
  Host().Record({"DeleteData", {Str(dataType)}, {luidCount}, {Texts(luids, luidCount)}, {}, {}});
  Answer<std::string> answer = Host().deleteAnswer;
  if (Host().deleteEchoesLuids) answer.items = Texts(luids, luidCount);
  Hand(answer, results, resultCount, [](const std::string& a, char** r) { *r = Dup(a); });
}

void FreeDeleteDataResult(char** results, int count) {
  Host().Record({"FreeDeleteDataResult", {}, {count}, {}, {}, {}});
  Host().Release("FreeDeleteDataResult", results, count);
}

void QueryLocalIds(const char* dataType, int mode, LocalIdItem** items, int* itemCount) {
  Host().Record({"QueryLocalIds", {Str(dataType)}, {mode}, {}, {}, {}});
  Hand(Host().localIdAnswer, items, itemCount, [](const LocalIdAnswerItem& a, LocalIdItem* r) {
    r->luid = Dup(a.luid);
    r->state = a.state;
    r->valueB = a.valueB;
    r->valueC = a.valueC;
  });
}

void FreeLocalIdList(LocalIdItem* items, int count) {
  Host().Record({"FreeLocalIdList", {}, {count}, {}, {}, {}});
  Host().Release("FreeLocalIdList", items, count);
}

void DataQueryByID(const char* dataType, const char** luids, int luidCount,
                   QueryResultItem** results, int* resultCount) {
  Host().Record({"DataQueryByID", {Str(dataType)}, {luidCount}, {Texts(luids, luidCount)}, {}, {}});
  Answer<QueryAnswerItem> answer = Host().queryAnswer;
  if (Host().queryEchoesLuids) {
    answer.items.clear();
    for (const std::string& luid : Texts(luids, luidCount)) {
      answer.items.push_back({luid, "data-" + luid, "", {}});
    }
  }
  Hand(answer, results, resultCount, [](const QueryAnswerItem& a, QueryResultItem* r) {
    r->luid = Dup(a.luid);
    r->data = Dup(a.data);
    r->textA = Dup(a.textA);
    if (!a.files.empty()) {
      r->files = new FileItem[a.files.size()]();
      for (size_t i = 0; i < a.files.size(); ++i) {
        r->files[i].itemA = Dup(a.files[i].at(0));
        r->files[i].itemB = Dup(a.files[i].at(1));
        r->files[i].itemC = Dup(a.files[i].at(2));
        r->files[i].itemD = Dup(a.files[i].at(3));
      }
      r->filesCount = static_cast<int>(a.files.size());
    }
  });
}

void FreeQueryResultList(QueryResultItem* results, int count) {
  Host().Record({"FreeQueryResultList", {}, {count}, {}, {}, {}});
  Host().Release("FreeQueryResultList", results, count);
}

void Reserved(const char*, const FileItem*, int, const FileItem*, int, const KeyedTextList*, int,
              unsigned char, int) {
  Host().Record({"Reserved", {}, {}, {}, {}, {}});
}

void UpdateSyncResult(const char* dataType, const StructDataItem* added, int addedCount,
                      const StructDataItem* modified, int modifiedCount, const char** deletedGuids,
                      int deletedCount, const KeyedTextList* extra, int extraCount) {
  std::vector<FieldMap> keyed;
  for (int i = 0; extra && i < extraCount; ++i) {
    std::string values;
    for (const std::string& v : Texts(extra[i].values, extra[i].valueCount)) values += v + ";";
    keyed.push_back({{"key", Str(extra[i].key)}, {"values", values}});
  }
  Host().Record({"UpdateSyncResult",
                 {Str(dataType)},
                 {addedCount, modifiedCount, deletedCount, extraCount},
                 {Texts(deletedGuids, deletedCount)},
                 {Structs(added, addedCount), Structs(modified, modifiedCount), keyed},
                 {}});
}

void OnDataSyncEnd(const char* dataType, int code) {
  Host().Record({"OnDataSyncEnd", {Str(dataType)}, {code}, {}, {}, {}});
}

void OnSyncEnd() { Host().Record({"OnSyncEnd", {}, {}, {}, {}, {}}); }

void ReportEvent(int kind, const char* businessId, const char** keys, const char** values,
                 int count) {
  HostCall call{"ReportEvent", {Str(businessId)}, {kind, count}, {}, {}, {}};
  for (int i = 0; i < count; ++i) call.pairs.emplace_back(Str(keys[i]), Str(values[i]));
  Host().Record(std::move(call));
}

}  // namespace

TestHost::TestHost() {
  if (g_host) throw std::logic_error("a TestHost is already installed");
  g_host = this;
}

TestHost::~TestHost() { g_host = nullptr; }

SyncCallbacks TestHost::Callbacks() const {
  return SyncCallbacks{OnDownloadSyncStart,
                       OnUploadSyncStart,
                       UpdateStructData,
                       FreeUpdateStructDataResult,
                       GetNewAT,
                       FreeAT,
                       DeleteData,
                       FreeDeleteDataResult,
                       QueryLocalIds,
                       FreeLocalIdList,
                       DataQueryByID,
                       FreeQueryResultList,
                       Reserved,
                       UpdateSyncResult,
                       OnDataSyncEnd,
                       OnSyncEnd,
                       ReportEvent};
}

void TestHost::Record(HostCall call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  if (onCall) onCall(call);
}

std::vector<HostCall> TestHost::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<HostCall> TestHost::CallsOf(const std::string& entry) const {
  std::vector<HostCall> out;
  for (const HostCall& call : Calls()) {
    if (call.entry == entry) out.push_back(call);
  }
  return out;
}

std::vector<std::string> TestHost::EntryNames() const {
  std::vector<std::string> out;
  for (const HostCall& call : Calls()) out.push_back(call.entry);
  return out;
}

void TestHost::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

void* TestHost::Track(void* array, int count, int reportedCount) {
  std::lock_guard<std::mutex> lock(mutex_);
  outstanding_[array] = {count, reportedCount};
  return array;
}

void TestHost::Release(const char* entry, void* array, int count) {
  int realCount = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = outstanding_.find(array);
    if (it == outstanding_.end()) {
      freeErrors_.push_back(std::string(entry) + ": unknown or already freed pointer");
      return;
    }
    realCount = it->second.first;
    if (count != it->second.second) {
      freeErrors_.push_back(std::string(entry) + ": freed with count " + std::to_string(count) +
                            ", handed out with " + std::to_string(it->second.second));
    }
    outstanding_.erase(it);
  }
  // The array is freed by its real size, whatever count came back.
  const std::string name = entry;
  if (name == "FreeAT") {
    delete[] static_cast<char*>(array);
  } else if (name == "FreeUpdateStructDataResult") {
    auto* items = static_cast<UpdateResultItem*>(array);
    for (int i = 0; i < realCount; ++i) {
      delete[] items[i].luid;
      delete[] items[i].guid;
    }
    delete[] items;
  } else if (name == "FreeDeleteDataResult") {
    auto* items = static_cast<char**>(array);
    for (int i = 0; i < realCount; ++i) delete[] items[i];
    delete[] items;
  } else if (name == "FreeLocalIdList") {
    auto* items = static_cast<LocalIdItem*>(array);
    for (int i = 0; i < realCount; ++i) delete[] items[i].luid;
    delete[] items;
  } else if (name == "FreeQueryResultList") {
    auto* items = static_cast<QueryResultItem*>(array);
    for (int i = 0; i < realCount; ++i) {
      delete[] items[i].luid;
      delete[] items[i].data;
      delete[] items[i].textA;
      FreeFiles(items[i].files, items[i].filesCount);
    }
    delete[] items;
  }
}

size_t TestHost::OutstandingArrays() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outstanding_.size();
}

std::vector<std::string> TestHost::FreeErrors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return freeErrors_;
}

}  // namespace testing
}  // namespace quillet
