#include "sync/interface/sync_process_adapter_c.h"

#include <cstring>

#include "sync/common/host_call_scope.h"
#include "sync/interface/c_arena.h"
#include "sync/log/logger.h"

namespace quillet {
namespace {

// A null host array with a non-zero count is a host fault: logged, read as empty.
bool NullWithCount(const void* array, int count, const char* text) {
  if (array) return false;
  if (count != 0) LogError(Ascii(text), ToWide(count), u"!");
  return true;
}

TextList ReadTexts(char** texts, int count) {
  TextList out;
  if (count > 0) out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out.push_back(Utf8ToWide(texts[i]));
  return out;
}

int CountOf(const std::map<WString, int>& counts, const char16_t* key) {
  const auto it = counts.find(key);
  return it == counts.end() ? 0 : it->second;
}

int Size(size_t n) { return static_cast<int>(n); }

}  // namespace

// Every operation below marks its thread as inside the host (HostCallScope) for its whole
// length, so that a call the host makes into the exports from there is known as re-entrant.

void ConvertWString2Array(const WString& text, std::unique_ptr<char[]>* buffer) {
  const std::string utf8 = WideToUtf8(text);
  buffer->reset(new char[utf8.size() + 1]);
  // The buffer is sized from the text itself, so the copy cannot overrun or fail.
  std::memcpy(buffer->get(), utf8.data(), utf8.size());
  (*buffer)[utf8.size()] = '\0';
}

void SyncProcessAdapter_c::OnDownloadSyncStart(WString dataType, std::map<WString, int> counts) {
  const HostCallScope inHost;
  CArena arena;
  FlushLogs();  // the host may take long or never come back
  FlushLogs();
  callbacks_.OnDownloadSyncStart(arena.Text(dataType), CountOf(counts, u"cloudAdd"),
                                 CountOf(counts, u"cloudModify"), CountOf(counts, u"cloudDelete"));
}

void SyncProcessAdapter_c::OnUploadSyncStart(WString dataType) {
  const HostCallScope inHost;
  CArena arena;
  FlushLogs();
  callbacks_.OnUploadSyncStart(arena.Text(dataType));
}

std::vector<UpdateResultRecord> SyncProcessAdapter_c::UpdateStructData(WString dataType,
                                                                       StructList added,
                                                                       StructList modified) {
  const HostCallScope inHost;
  CArena arena;
  UpdateResultItem* results = nullptr;
  int count = 0;
  FlushLogs();
  callbacks_.UpdateStructData(arena.Text(dataType), arena.Structs(added), Size(added.size()),
                              arena.Structs(modified), Size(modified.size()), &results, &count);
  std::vector<UpdateResultRecord> out;
  if (NullWithCount(results, count,
                    "UpdateStructData error: updateResultList is nullptr, but "
                    "updateResultListSize size is")) {
    return out;
  }
  if (count > 0) out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const UpdateResultItem& r = results[i];
    out.push_back({Utf8ToWide(r.luid), Utf8ToWide(r.guid), r.numberA,
                   ReadFiles(r.filesA, r.filesACount), ReadFiles(r.filesB, r.filesBCount)});
  }
  callbacks_.FreeUpdateStructDataResult(results, count);
  return out;
}

WString SyncProcessAdapter_c::GetNewAT() {
  const HostCallScope inHost;
  char* token = nullptr;
  FlushLogs();
  callbacks_.GetNewAT(&token);
  const WString out = Utf8ToWide(token);
  callbacks_.FreeAT(token);
  return out;
}

TextList SyncProcessAdapter_c::DeleteData(WString dataType, TextList luids) {
  const HostCallScope inHost;
  CArena arena;
  char** results = nullptr;
  int count = 0;
  FlushLogs();
  callbacks_.DeleteData(arena.Text(dataType), arena.Texts(luids), Size(luids.size()), &results,
                        &count);
  if (NullWithCount(results, count,
                    "DeleteData error: cResultList is nullptr, but resultListSize size is")) {
    return TextList();
  }
  TextList out = ReadTexts(results, count);
  callbacks_.FreeDeleteDataResult(results, count);
  return out;
}

std::vector<LocalIdRecord> SyncProcessAdapter_c::QueryLocalIds(WString dataType, int mode) {
  std::vector<LocalIdRecord> out;
  QueryLocalIdList(std::move(dataType), mode, out);
  return out;
}

bool SyncProcessAdapter_c::QueryLocalIdList(WString dataType, int mode,
                                            std::vector<LocalIdRecord>& out) {
  const HostCallScope inHost;
  CArena arena;
  LocalIdItem* items = nullptr;
  int count = 0;
  FlushLogs();
  callbacks_.QueryLocalIds(arena.Text(dataType), mode, &items, &count);
  out.clear();
  if (NullWithCount(items, count,
                    "QueryLocalIds error: cLocalIdList is nullptr, but localIdListSize size is")) {
    return count == 0;
  }
  if (count < 0) {
    LogError(u"QueryLocalIds error: localIdListSize is negative: ", ToWide(count), u"!");
    callbacks_.FreeLocalIdList(items, count);
    return false;
  }
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    out.push_back({Utf8ToWide(items[i].luid), items[i].state, items[i].valueB, items[i].valueC});
  }
  callbacks_.FreeLocalIdList(items, count);
  return true;
}

std::vector<QueryResultRecord> SyncProcessAdapter_c::DataQueryByID(WString dataType,
                                                                   TextList luids) {
  const HostCallScope inHost;
  CArena arena;
  QueryResultItem* results = nullptr;
  int count = 0;
  FlushLogs();
  callbacks_.DataQueryByID(arena.Text(dataType), arena.Texts(luids), Size(luids.size()), &results,
                           &count);
  std::vector<QueryResultRecord> out;
  if (NullWithCount(results, count,
                    "DataQueryByID error: cQueryResultList is nullptr, but queryResultListSize "
                    "size is")) {
    return out;
  }
  if (count > 0) out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const QueryResultItem& r = results[i];
    out.push_back({Utf8ToWide(r.luid), Utf8ToWide(r.data), Utf8ToWide(r.textA),
                   ReadFiles(r.files, r.filesCount), Utf8ToWide(r.textC), r.numberB, r.numberC});
  }
  callbacks_.FreeQueryResultList(results, count);
  return out;
}

void SyncProcessAdapter_c::UpdateSyncResult(WString dataType, StructList added, StructList modified,
                                            TextList deletedGuids, KeyedTextMap extra) {
  const HostCallScope inHost;
  CArena arena;
  FlushLogs();
  callbacks_.UpdateSyncResult(arena.Text(dataType), arena.Structs(added), Size(added.size()),
                              arena.Structs(modified), Size(modified.size()),
                              arena.Texts(deletedGuids), Size(deletedGuids.size()),
                              arena.Keyed(extra), Size(extra.size()));
}

void SyncProcessAdapter_c::OnDataSyncEnd(WString dataType, int code) {
  const HostCallScope inHost;
  CArena arena;
  FlushLogs();
  callbacks_.OnDataSyncEnd(arena.Text(dataType), code);
}

void SyncProcessAdapter_c::OnSyncEnd() {
  const HostCallScope inHost;
  FlushLogs();
  callbacks_.OnSyncEnd();
}

void SyncProcessAdapter_c::ReportEvent(int kind, WString businessId, TextMap record) {
  const HostCallScope inHost;
  CArena arena;
  const size_t n = record.size();
  std::unique_ptr<const char*[]> keys(new const char*[n]());
  std::unique_ptr<const char*[]> values(new const char*[n]());
  size_t i = 0;
  for (const auto& entry : record) {
    keys[i] = arena.Text(entry.first);
    values[i] = arena.Text(entry.second);
    ++i;
  }
  FlushLogs();
  callbacks_.ReportEvent(kind, arena.Text(businessId), keys.get(), values.get(), Size(n));
}

}  // namespace quillet
