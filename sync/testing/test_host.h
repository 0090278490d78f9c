// A scripted host for tests: a C callback table that records every call with its converted
// arguments, in order, and answers with scripted, host-allocated results.
//
// Only one TestHost may be installed at a time (the C callbacks carry no user data); the
// constructor installs it, the destructor removes it. Every array handed to the library is
// tracked until its Free entry returns it, so tests can assert that nothing leaked and that
// nothing was freed twice or with the wrong count.
#ifndef QUILLET_SYNC_TESTING_TEST_HOST_H_
#define QUILLET_SYNC_TESTING_TEST_HOST_H_

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quillet.h"

namespace quillet {
namespace testing {

// One structured record as the host saw it: field name -> value ("numberA" -> "0", files
// as "a|b|c|d" joined by ";").
using FieldMap = std::map<std::string, std::string>;

struct HostCall {
  std::string entry;
  std::vector<std::string> texts;  // text arguments in order (data type first)
  std::vector<int> numbers;        // int arguments in order
  std::vector<std::vector<std::string>> textLists;
  std::vector<std::vector<FieldMap>> records;  // StructDataItem / KeyedTextList arrays
  // ReportEvent: keys and values in the order received.
  std::vector<std::pair<std::string, std::string>> pairs;
};

// A scripted answer for an entry returning an array: items, or a null pointer with a count.
template <typename T>
struct Answer {
  std::vector<T> items;
  bool nullPointer = false;
  int nullCount = 0;       // count reported with a null pointer
  bool zeroCount = false;  // non-null array reported with count 0
};

struct UpdateAnswerItem {
  std::string luid;
  std::string guid;
  int numberA = 0;
};
struct LocalIdAnswerItem {
  std::string luid;
  int state = 0;
  int valueB = 0;
  int valueC = 0;
};
struct QueryAnswerItem {
  std::string luid;
  std::string data;
  std::string textA;
  std::vector<std::vector<std::string>> files;  // four texts each
};

class TestHost {
 public:
  TestHost();
  ~TestHost();
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // The 17-entry table that forwards to this host.
  SyncCallbacks Callbacks() const;

  // Scripted answers; each is used for every call of its entry until changed. Without a
  // script an entry answers an empty, null result. A function answers per call when set.
  Answer<UpdateAnswerItem> updateAnswer;
  Answer<std::string> deleteAnswer;
  bool deleteEchoesLuids = false;  // DeleteData answers the luids it was given
  Answer<LocalIdAnswerItem> localIdAnswer;
  Answer<QueryAnswerItem> queryAnswer;
  bool queryEchoesLuids = false;     // DataQueryByID answers "data-" + luid for each luid
  std::optional<std::string> token;  // GetNewAT leaves null when unset
  // UpdateStructData confirms every record: added ones under luid "L-" + guid, modified
  // ones under their own luid.
  bool updateConfirmsAll = false;
  // Runs after each call is recorded, on the calling thread (e.g. to request a stop).
  std::function<void(const HostCall&)> onCall;

  // Everything recorded so far (thread-safe copy).
  std::vector<HostCall> Calls() const;
  std::vector<HostCall> CallsOf(const std::string& entry) const;
  std::vector<std::string> EntryNames() const;
  void ClearCalls();

  // Arrays handed out and not yet returned through a Free entry.
  size_t OutstandingArrays() const;
  // Free calls that returned an unknown pointer or a wrong count.
  std::vector<std::string> FreeErrors() const;

  // Called by the trampolines.
  void Record(HostCall call);
  void* Track(void* array, int count, int reportedCount);
  void Release(const char* entry, void* array, int count);

 private:
  mutable std::mutex mutex_;
  std::vector<HostCall> calls_;
  std::map<void*, std::pair<int, int>> outstanding_;  // real, reported count
  std::vector<std::string> freeErrors_;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_TEST_HOST_H_
