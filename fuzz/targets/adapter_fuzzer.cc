// The callback adapter between the library's records and the host's C table, both ways:
//  - records the library hands over (texts with any UTF-16 units, nested file lists, keyed
//    lists, report pairs) must reach the host as the C arrays the header promises;
//  - the host's answers, built from the input (null texts, null arrays with any count,
//    negative counts, counts below what was allocated, nested lists of the same kinds), are
//    read as the header says and every answered array goes to its Free callback once;
//  - the host lists that EndSync and DownUnstructFile read (no session behind them).
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz/fuzz_fail.h"
#include "fuzz/fuzz_logging.h"
#include "fuzz/host_allocations.h"
#include "sync/interface/exports.h"
#include "sync/interface/sync_process_adapter_c.h"

using namespace quillet;
using quillet::fuzz::FuzzFail;
using quillet::fuzz::HostAllocations;

namespace {

// ---- What the library side sent, and what the host side answered.

// What the current call should deliver to the host.
struct Sent {
  WString dataType;
  StructList added;
  StructList modified;
  TextList texts;  // luids, or the deleted guids
  KeyedTextMap extra;
  std::map<WString, int> counts;
  TextMap record;
  WString businessId;
  int number = 0;  // mode, code or kind
};

// What the adapter should make of the host's answer.
struct Expected {
  std::vector<UpdateResultRecord> updates;
  TextList texts;
  std::vector<LocalIdRecord> localIds;
  std::vector<QueryResultRecord> queries;
  WString token;
};

struct Host {
  FuzzedDataProvider* input = nullptr;
  HostAllocations* memory = nullptr;
  Sent sent;
  Expected expected;
  int calls = 0;  // host entries reached during the current adapter call
  int tokensOpen = 0;
  char* token = nullptr;
};

Host host;

// ---- Checks of what reached the host.

// The C form of a library text: its UTF-8, which a C reader sees up to the first NUL.
std::string CText(const WString& text) { return std::string(WideToUtf8(text).c_str()); }

void CheckText(const char* got, const WString& sent) {
  if (got == nullptr) FuzzFail("the host got a null text");
  if (std::strcmp(got, CText(sent).c_str()) != 0) FuzzFail("the host got another text");
}

void CheckDataType(const char* got) { CheckText(got, host.sent.dataType); }

template <typename T>
void CheckArray(const T* array, int count, size_t size) {
  if (count != static_cast<int>(size)) FuzzFail("the host got another count");
  if ((array == nullptr) != (size == 0)) FuzzFail("an empty list must be NULL, and only it");
}

void CheckTexts(const char** texts, int count, const TextList& sent) {
  CheckArray(texts, count, sent.size());
  for (size_t i = 0; i < sent.size(); ++i) CheckText(texts[i], sent[i]);
}

void CheckFiles(const FileItem* files, int count, const FileList& sent) {
  CheckArray(files, count, sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    CheckText(files[i].itemA, sent[i].itemA);
    CheckText(files[i].itemB, sent[i].itemB);
    CheckText(files[i].itemC, sent[i].itemC);
    CheckText(files[i].itemD, sent[i].itemD);
  }
}

void CheckStructs(const StructDataItem* items, int count, const StructList& sent) {
  CheckArray(items, count, sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    const StructDataItem& c = items[i];
    const StructRecord& r = sent[i];
    CheckText(c.luid, r.luid);
    CheckText(c.textA, r.textA);
    CheckText(c.guid, r.guid);
    CheckText(c.etag, r.etag);
    CheckText(c.textC, r.textC);
    CheckText(c.textD, r.textD);
    CheckText(c.data, r.data);
    if (c.numberA != r.numberA || c.numberB != r.numberB || c.numberC != r.numberC) {
      FuzzFail("the host got other numbers");
    }
    CheckFiles(c.filesA, c.filesACount, r.filesA);
    CheckFiles(c.filesB, c.filesBCount, r.filesB);
    CheckFiles(c.filesC, c.filesCCount, r.filesC);
  }
}

template <typename T>
void CheckPreset(T** array, int* count) {
  if (array == nullptr || count == nullptr) FuzzFail("null out-parameters");
  if (*array != nullptr || *count != 0) FuzzFail("out-parameters not NULL and 0 before the call");
}

// ---- Host answers from the input.

// A host text: null, or bytes that need not be UTF-8 and may hold a NUL.
const char* HostText(WString* read) {
  if (host.input->ConsumeBool()) {
    read->clear();  // a null text reads as the empty text
    return nullptr;
  }
  const std::string text = host.input->ConsumeRandomLengthString(24);
  *read = Utf8ToWide(std::string(text.c_str()));
  return host.memory->Copy(text);
}

// How a host answers a list: how many items it allocated and what count it reports.
struct Shape {
  bool null = false;
  int allocated = 0;
  int count = 0;
  // The items a reader may use: none without an array or with a count below 1.
  int Readable() const { return null || count <= 0 ? 0 : count; }
};

Shape HostShape(int maxItems) {
  FuzzedDataProvider& in = *host.input;
  Shape shape;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      shape.null = true;
      shape.count = in.ConsumeIntegral<int>();  // zero, negative or huge: no array to read
      break;
    case 1:
      shape.allocated = shape.count = in.ConsumeIntegralInRange(0, maxItems);
      break;
    case 2:
      shape.allocated = in.ConsumeIntegralInRange(0, maxItems);
      shape.count = in.ConsumeIntegralInRange(INT_MIN, 0);
      break;
    default:
      shape.allocated = in.ConsumeIntegralInRange(0, maxItems);
      shape.count = in.ConsumeIntegralInRange(0, shape.allocated);
      break;
  }
  return shape;
}

template <typename T>
T* HostArray(const Shape& shape) {
  if (shape.null) return nullptr;
  return static_cast<T*>(host.memory->Allocate(sizeof(T) * static_cast<size_t>(shape.allocated)));
}

// A nested file list of a host answer (freed with the answer it belongs to).
FileItem* HostFiles(int* count, FileList* read) {
  const Shape shape = HostShape(3);
  FileItem* files = HostArray<FileItem>(shape);
  *count = shape.count;
  read->clear();
  for (int i = 0; i < shape.allocated; ++i) {
    FileRecord record;
    files[i].itemA = HostText(&record.itemA);
    files[i].itemB = HostText(&record.itemB);
    files[i].itemC = HostText(&record.itemC);
    files[i].itemD = HostText(&record.itemD);
    if (i < shape.Readable()) read->push_back(record);
  }
  return files;
}

// A list of texts the host lends for one call (the exports read it and keep nothing).
const char** HostTexts(int* count) {
  const Shape shape = HostShape(6);
  const char** texts = HostArray<const char*>(shape);
  *count = shape.count;
  WString ignored;
  for (int i = 0; i < shape.allocated; ++i) texts[i] = HostText(&ignored);
  return texts;
}

// ---- The host's C table.

void OnDownloadSyncStart(const char* dataType, int add, int modify, int remove) {
  ++host.calls;
  CheckDataType(dataType);
  auto count = [](const char16_t* key) {
    const auto it = host.sent.counts.find(key);
    return it == host.sent.counts.end() ? 0 : it->second;
  };
  if (add != count(u"cloudAdd") || modify != count(u"cloudModify") ||
      remove != count(u"cloudDelete")) {
    FuzzFail("the host got other download counts");
  }
}

void OnUploadSyncStart(const char* dataType) {
  ++host.calls;
  CheckDataType(dataType);
}

void UpdateStructData(const char* dataType, const StructDataItem* added, int addedCount,
                      const StructDataItem* modified, int modifiedCount, UpdateResultItem** results,
                      int* resultCount) {
  ++host.calls;
  CheckPreset(results, resultCount);
  CheckDataType(dataType);
  CheckStructs(added, addedCount, host.sent.added);
  CheckStructs(modified, modifiedCount, host.sent.modified);
  const Shape shape = HostShape(6);
  UpdateResultItem* items = HostArray<UpdateResultItem>(shape);
  host.expected.updates.clear();
  for (int i = 0; i < shape.allocated; ++i) {
    UpdateResultRecord record;
    items[i].luid = HostText(&record.luid);
    items[i].guid = HostText(&record.guid);
    items[i].numberA = record.numberA = host.input->ConsumeIntegral<int>();
    items[i].filesA = HostFiles(&items[i].filesACount, &record.filesA);
    items[i].filesB = HostFiles(&items[i].filesBCount, &record.filesB);
    if (i < shape.Readable()) host.expected.updates.push_back(record);
  }
  *results = items;
  *resultCount = shape.count;
  host.memory->Answer(items, shape.count, "UpdateResultItem");
}

void FreeUpdateStructDataResult(UpdateResultItem* results, int count) {
  host.memory->Release(results, count, "UpdateResultItem");
}

void GetNewAT(char** token) {
  ++host.calls;
  if (token == nullptr || *token != nullptr) FuzzFail("GetNewAT's pointer not set to NULL");
  const char* text = HostText(&host.expected.token);
  *token = const_cast<char*>(text);
  host.token = *token;
  ++host.tokensOpen;
  host.memory->Answer(text, 0, "token");
}

void FreeAT(char* token) {
  if (host.tokensOpen != 1 || token != host.token) {
    FuzzFail("FreeAT not called once with the token");
  }
  --host.tokensOpen;
  if (token != nullptr) host.memory->Release(token, 0, "token");
}

void DeleteData(const char* dataType, const char** luids, int luidCount, char*** results,
                int* resultCount) {
  ++host.calls;
  CheckPreset(results, resultCount);
  CheckDataType(dataType);
  CheckTexts(luids, luidCount, host.sent.texts);
  const Shape shape = HostShape(8);
  char** texts = HostArray<char*>(shape);
  host.expected.texts.clear();
  for (int i = 0; i < shape.allocated; ++i) {
    WString read;
    texts[i] = const_cast<char*>(HostText(&read));
    if (i < shape.Readable()) host.expected.texts.push_back(read);
  }
  *results = texts;
  *resultCount = shape.count;
  host.memory->Answer(texts, shape.count, "char*");
}

void FreeDeleteDataResult(char** results, int count) {
  host.memory->Release(results, count, "char*");
}

void QueryLocalIds(const char* dataType, int mode, LocalIdItem** items, int* itemCount) {
  ++host.calls;
  CheckPreset(items, itemCount);
  CheckDataType(dataType);
  if (mode != host.sent.number) FuzzFail("the host got another mode");
  const Shape shape = HostShape(8);
  LocalIdItem* ids = HostArray<LocalIdItem>(shape);
  host.expected.localIds.clear();
  for (int i = 0; i < shape.allocated; ++i) {
    LocalIdRecord record;
    ids[i].luid = HostText(&record.luid);
    ids[i].state = record.state = host.input->ConsumeIntegral<int>();
    ids[i].valueB = record.valueB = host.input->ConsumeIntegral<int>();
    ids[i].valueC = record.valueC = host.input->ConsumeIntegral<int>();
    if (i < shape.Readable()) host.expected.localIds.push_back(record);
  }
  *items = ids;
  *itemCount = shape.count;
  host.memory->Answer(ids, shape.count, "LocalIdItem");
}

void FreeLocalIdList(LocalIdItem* items, int count) {
  host.memory->Release(items, count, "LocalIdItem");
}

void DataQueryByID(const char* dataType, const char** luids, int luidCount,
                   QueryResultItem** results, int* resultCount) {
  ++host.calls;
  CheckPreset(results, resultCount);
  CheckDataType(dataType);
  CheckTexts(luids, luidCount, host.sent.texts);
  const Shape shape = HostShape(6);
  QueryResultItem* items = HostArray<QueryResultItem>(shape);
  host.expected.queries.clear();
  for (int i = 0; i < shape.allocated; ++i) {
    QueryResultRecord record;
    items[i].luid = HostText(&record.luid);
    items[i].data = HostText(&record.data);
    items[i].textA = HostText(&record.textA);
    items[i].files = HostFiles(&items[i].filesCount, &record.files);
    items[i].textC = HostText(&record.textC);
    items[i].numberB = record.numberB = host.input->ConsumeIntegral<int>();
    items[i].numberC = record.numberC = host.input->ConsumeIntegral<int>();
    if (i < shape.Readable()) host.expected.queries.push_back(record);
  }
  *results = items;
  *resultCount = shape.count;
  host.memory->Answer(items, shape.count, "QueryResultItem");
}

void FreeQueryResultList(QueryResultItem* results, int count) {
  host.memory->Release(results, count, "QueryResultItem");
}

void Reserved(const char*, const FileItem*, int, const FileItem*, int, const KeyedTextList*, int,
              unsigned char, int) {
  FuzzFail("the reserved entry was called");
}

void UpdateSyncResult(const char* dataType, const StructDataItem* added, int addedCount,
                      const StructDataItem* modified, int modifiedCount, const char** deletedGuids,
                      int deletedCount, const KeyedTextList* extra, int extraCount) {
  ++host.calls;
  CheckDataType(dataType);
  CheckStructs(added, addedCount, host.sent.added);
  CheckStructs(modified, modifiedCount, host.sent.modified);
  CheckTexts(deletedGuids, deletedCount, host.sent.texts);
  CheckArray(extra, extraCount, host.sent.extra.size());
  size_t i = 0;
  for (const auto& entry : host.sent.extra) {
    CheckText(extra[i].key, entry.first);
    CheckTexts(extra[i].values, extra[i].valueCount, entry.second);
    ++i;
  }
}

void OnDataSyncEnd(const char* dataType, int code) {
  ++host.calls;
  CheckDataType(dataType);
  if (code != host.sent.number) FuzzFail("the host got another result code");
}

void OnSyncEnd() { ++host.calls; }

void ReportEvent(int kind, const char* businessId, const char** keys, const char** values,
                 int count) {
  ++host.calls;
  if (kind != host.sent.number) FuzzFail("the host got another report kind");
  CheckText(businessId, host.sent.businessId);
  if (count != static_cast<int>(host.sent.record.size())) FuzzFail("the host got another count");
  if (count > 0 && (keys == nullptr || values == nullptr)) FuzzFail("null report arrays");
  int i = 0;
  for (const auto& entry : host.sent.record) {  // ascending key order
    CheckText(keys[i], entry.first);
    CheckText(values[i], entry.second);
    ++i;
  }
}

const SyncCallbacks kCallbacks = {OnDownloadSyncStart,
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

// ---- Records of the library side, from the input.

// Any UTF-16 units (lone surrogates and NULs included), or text that came in as UTF-8.
WString LibraryText() {
  FuzzedDataProvider& in = *host.input;
  if (in.ConsumeBool()) return Utf8ToWide(in.ConsumeRandomLengthString(24));
  WString text(in.ConsumeIntegralInRange<size_t>(0, 12), u'\0');
  for (char16_t& unit : text) unit = in.ConsumeIntegral<char16_t>();
  return text;
}

TextList LibraryTexts(int max) {
  TextList texts(host.input->ConsumeIntegralInRange(0, max));
  for (WString& text : texts) text = LibraryText();
  return texts;
}

FileList LibraryFiles() {
  FileList files(host.input->ConsumeIntegralInRange(0, 3));
  for (FileRecord& file : files) {
    file = {LibraryText(), LibraryText(), LibraryText(), LibraryText()};
  }
  return files;
}

StructList LibraryRecords() {
  FuzzedDataProvider& in = *host.input;
  StructList records(in.ConsumeIntegralInRange(0, 4));
  for (StructRecord& r : records) {
    r.luid = LibraryText();
    r.textA = LibraryText();
    r.guid = LibraryText();
    r.etag = LibraryText();
    r.numberA = in.ConsumeIntegral<int>();
    r.textC = LibraryText();
    r.textD = LibraryText();
    r.data = LibraryText();
    r.numberB = in.ConsumeIntegral<int>();
    r.numberC = in.ConsumeIntegral<int>();
    r.filesA = LibraryFiles();
    r.filesB = LibraryFiles();
    r.filesC = LibraryFiles();
  }
  return records;
}

// ---- Comparisons of what the adapter read.

bool SameFiles(const FileList& a, const FileList& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].itemA != b[i].itemA || a[i].itemB != b[i].itemB || a[i].itemC != b[i].itemC ||
        a[i].itemD != b[i].itemD) {
      return false;
    }
  }
  return true;
}

template <typename T, typename Same>
void CheckRead(const std::vector<T>& got, const std::vector<T>& expected, Same same) {
  if (got.size() != expected.size()) FuzzFail("the adapter read another number of items");
  for (size_t i = 0; i < got.size(); ++i) {
    if (!same(got[i], expected[i])) FuzzFail("the adapter read an item differently");
  }
}

// Runs one adapter call and checks that it reached the host exactly once.
template <typename Call>
void Once(Call call) {
  host.calls = 0;
  call();
  if (host.calls != 1) FuzzFail("an adapter call did not reach the host exactly once");
}

void RunStep(SyncProcessAdapter_c& adapter) {
  FuzzedDataProvider& in = *host.input;
  Sent& sent = host.sent;
  const Expected& expected = host.expected;
  sent = Sent();
  sent.dataType = LibraryText();
  switch (in.ConsumeIntegralInRange(0, 11)) {
    case 0: {
      for (const char16_t* key : {u"cloudAdd", u"cloudModify", u"cloudDelete", u"other"}) {
        if (in.ConsumeBool()) sent.counts[key] = in.ConsumeIntegral<int>();
      }
      Once([&] { adapter.OnDownloadSyncStart(sent.dataType, sent.counts); });
      break;
    }
    case 1:
      Once([&] { adapter.OnUploadSyncStart(sent.dataType); });
      break;
    case 2: {
      sent.added = LibraryRecords();
      sent.modified = LibraryRecords();
      std::vector<UpdateResultRecord> got;
      Once([&] { got = adapter.UpdateStructData(sent.dataType, sent.added, sent.modified); });
      CheckRead(got, expected.updates,
                [](const UpdateResultRecord& a, const UpdateResultRecord& b) {
                  return a.luid == b.luid && a.guid == b.guid && a.numberA == b.numberA &&
                         SameFiles(a.filesA, b.filesA) && SameFiles(a.filesB, b.filesB);
                });
      break;
    }
    case 3: {
      WString got;
      Once([&] { got = adapter.GetNewAT(); });
      if (got != expected.token || host.tokensOpen != 0) FuzzFail("GetNewAT read another token");
      break;
    }
    case 4: {
      sent.texts = LibraryTexts(8);
      TextList got;
      Once([&] { got = adapter.DeleteData(sent.dataType, sent.texts); });
      CheckRead(got, expected.texts, [](const WString& a, const WString& b) { return a == b; });
      break;
    }
    case 5: {
      sent.number = in.ConsumeIntegral<int>();
      std::vector<LocalIdRecord> got;
      Once([&] { got = adapter.QueryLocalIds(sent.dataType, sent.number); });
      CheckRead(got, expected.localIds, [](const LocalIdRecord& a, const LocalIdRecord& b) {
        return a.luid == b.luid && a.state == b.state && a.valueB == b.valueB &&
               a.valueC == b.valueC;
      });
      break;
    }
    case 6: {
      sent.texts = LibraryTexts(8);
      std::vector<QueryResultRecord> got;
      Once([&] { got = adapter.DataQueryByID(sent.dataType, sent.texts); });
      CheckRead(got, expected.queries, [](const QueryResultRecord& a, const QueryResultRecord& b) {
        return a.luid == b.luid && a.data == b.data && a.textA == b.textA &&
               SameFiles(a.files, b.files) && a.textC == b.textC && a.numberB == b.numberB &&
               a.numberC == b.numberC;
      });
      break;
    }
    case 7: {
      sent.added = LibraryRecords();
      sent.modified = LibraryRecords();
      sent.texts = LibraryTexts(6);
      const int keys = in.ConsumeIntegralInRange(0, 3);
      for (int i = 0; i < keys; ++i) sent.extra[LibraryText()] = LibraryTexts(3);
      Once([&] {
        adapter.UpdateSyncResult(sent.dataType, sent.added, sent.modified, sent.texts, sent.extra);
      });
      break;
    }
    case 8:
      sent.number = in.ConsumeIntegral<int>();
      Once([&] { adapter.OnDataSyncEnd(sent.dataType, sent.number); });
      break;
    case 9:
      Once([&] { adapter.OnSyncEnd(); });
      break;
    case 10: {
      // The exports that only read host lists; without a session they reach no callback.
      int countA = 0;
      int countB = 0;
      int fileCount = 0;
      FileList ignored;
      const char** listA = HostTexts(&countA);
      const char** listB = HostTexts(&countB);
      const FileItem* files = HostFiles(&fileCount, &ignored);
      WString context;
      const char* contextText = HostText(&context);
      host.calls = 0;
      DoEndSync("fuzz-no-session", listA, countA, listB, countB);
      DoDownUnstructFile("fuzz-no-session", contextText, files, fileCount);
      if (host.calls != 0) FuzzFail("an export without a session called the host");
      host.memory->Drop();
      break;
    }
    default: {
      sent.number = in.ConsumeIntegral<int>();
      sent.businessId = LibraryText();
      const int pairs = in.ConsumeIntegralInRange(0, 5);
      for (int i = 0; i < pairs; ++i) sent.record[LibraryText()] = LibraryText();
      Once([&] { adapter.ReportEvent(sent.number, sent.businessId, sent.record); });
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quillet::fuzz::InitFuzzLogging();  // the adapter logs host faults
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  HostAllocations memory;
  host = Host();
  host.input = &input;
  host.memory = &memory;
  SyncProcessAdapter_c adapter(kCallbacks);
  for (int step = 0; step < 16 && input.remaining_bytes() > 0; ++step) RunStep(adapter);
  memory.CheckAllReleased();
  if (host.tokensOpen != 0) FuzzFail("a token was not given to FreeAT");
  host = Host();
  return 0;
}
