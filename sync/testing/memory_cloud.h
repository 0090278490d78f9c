// An in-memory cloud collection behind INetInterface, for pass tests: records with guid,
// etag and data, every request logged, and scripted failures per operation.
// Not thread-safe.
#ifndef QUILLET_SYNC_TESTING_MEMORY_CLOUD_H_
#define QUILLET_SYNC_TESTING_MEMORY_CLOUD_H_

#include <map>
#include <string>
#include <vector>

#include "sync/net/net_interface.h"

namespace quillet {
namespace testing {

struct CloudRecord {
  WString etag;
  WString data;
};

class MemoryCloud : public INetInterface {
 public:
  // Records by guid; the next etag/guid numbers are counters, so answers are predictable.
  std::map<WString, CloudRecord> records;
  // Request log: operation name and the number of items sent.
  std::vector<std::pair<std::string, size_t>> requests;
  // A status that the n-th request (1-based) of an operation answers instead of success,
  // e.g. failAt["DownloadData"] = {2, 0}.
  std::map<std::string, std::pair<int, int>> failAt;
  // Per-item statuses for writes, by luid (add) or guid (update, remove).
  std::map<WString, int> itemStatus;
  int addRequestCode = 200;  // overall code of every add request

  void Put(const WString& guid, const WString& etag, const WString& data) {
    records[guid] = {etag, data};
  }
  size_t CountOf(const std::string& operation) const;

  int Lock(CtagMap&) override { return 200; }
  int Unlock(CtagMap&) override { return 200; }
  int QueryCtag(CtagMap&) override { return 200; }
  int GetEtagList(const WString& dataType, std::vector<EtagItem>& etags) override;
  int DownloadData(const WString& dataType, TextList guids, StructList& out) override;
  std::map<WString, AddResult> AddData(const WString& dataType, TextPairList items,
                                       int& status) override;
  std::map<WString, UpdateResult> UpdateData(const WString& dataType, TextPairList items,
                                             int& status) override;
  std::map<WString, int> RemoveData(const WString& dataType, TextList guids,
                                    int& status) override;
  int KeepLock() override { return 200; }

 private:
  // The scripted failure for this request of operation, or 0.
  int Fault(const std::string& operation, size_t itemCount);
  int ItemStatus(const WString& key) const;
  WString NextEtag() { return u"e" + ToWide(++etagCounter_); }

  long long etagCounter_ = 100;
  long long guidCounter_ = 0;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_MEMORY_CLOUD_H_
