// Small helpers shared by the download pass, the upload pass and the cloud writes: the
// cloud-code mapping, step logging under one function name, and a report record that is
// reused for every event of one operation.
#ifndef QUILLET_SYNC_ENGINE_PASS_SUPPORT_H_
#define QUILLET_SYNC_ENGINE_PASS_SUPPORT_H_

#include <unordered_set>
#include <utility>
#include <vector>

#include "sync/common/records.h"
#include "sync/log/sync_report.h"

namespace quillet {

// 200..300 -> 0, 0 (no response) -> 2004, 3 (locked elsewhere) -> 2009, others unchanged.
int MapCloudCode(int code);

// True for an accepted item status (200..300 inclusive).
inline bool IsAccepted(int status) { return status >= 200 && status <= 300; }

// Step lines of one operation in the sync log; Error also goes to the error log.
class StepLog {
 public:
  explicit StepLog(const char16_t* function) : function_(function) {}
  void Info(const WString& text) const;
  void Error(const WString& text) const;
  // "Stop sync" at Info level, for the stop check points.
  void Stopped() const { Info(u"Stop sync"); }
  const char16_t* function() const { return function_; }

 private:
  const char16_t* function_;
};

// One report record reused for every event of an operation: each Send overwrites
// "business_id", "returnCode" and "syncInfo" and hands the whole record to the host.
class PassReport {
 public:
  explicit PassReport(const NetConfig& session) : report_(MakeSyncReport(session)) {}
  void Send(const WString& businessId, const WString& returnCode, const WString& syncInfo);
  void Send(const WString& businessId, int returnCode, const WString& syncInfo) {
    Send(businessId, ToWide(returnCode), syncInfo);
  }

 private:
  SyncReport report_;
};

// Keeps, in their order, the items whose key was asked for, each key once (it is taken out
// of asked); ignored(item) sees each of the others before it is dropped. What is left in
// asked was asked for and not answered. Returns how many items were dropped.
template <typename T, typename KeyOf, typename OnIgnored>
size_t KeepAskedOnce(std::vector<T>& items, std::unordered_set<WString>& asked, KeyOf keyOf,
                     OnIgnored ignored) {
  size_t kept = 0;
  for (T& item : items) {
    if (asked.erase(keyOf(item)) == 0) {
      ignored(item);
      continue;
    }
    if (&items[kept] != &item) items[kept] = std::move(item);
    ++kept;
  }
  const size_t dropped = items.size() - kept;
  items.resize(kept);
  return dropped;
}

}  // namespace quillet

#endif  // QUILLET_SYNC_ENGINE_PASS_SUPPORT_H_
