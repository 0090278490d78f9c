// A scripted protocol client for session and pass tests. Counts every call; answers with
// the scripted statuses and ctags. Not thread-safe except the call counters.
#ifndef QUILLET_SYNC_TESTING_FAKE_NET_H_
#define QUILLET_SYNC_TESTING_FAKE_NET_H_

#include <atomic>
#include <memory>

#include "sync/net/net_interface.h"

namespace quillet {
namespace testing {

struct FakeNetScript {
  int lockStatus = 200;
  CtagMap lockCtags;
  int unlockStatus = 200;
  CtagMap unlockCtags;
  std::atomic<int> lockCalls{0};
  std::atomic<int> unlockCalls{0};
  std::atomic<int> destroyed{0};
  std::atomic<bool> lockLost{false};  // what LockLost answers
};

CtagMap Ctags(std::initializer_list<std::pair<WString, WString>> entries);

class FakeNet : public INetInterface {
 public:
  explicit FakeNet(std::shared_ptr<FakeNetScript> script) : script_(std::move(script)) {}
  ~FakeNet() override { ++script_->destroyed; }

  int Lock(CtagMap& ctags) override;
  int Unlock(CtagMap& ctags) override;
  int QueryCtag(CtagMap&) override { return 200; }
  int GetEtagList(const WString&, std::vector<EtagItem>&) override { return 200; }
  int DownloadData(const WString&, TextList, StructList&) override { return 200; }
  std::map<WString, AddResult> AddData(const WString&, TextPairList, int& status) override {
    status = 200;
    return {};
  }
  std::map<WString, UpdateResult> UpdateData(const WString&, TextPairList, int& status) override {
    status = 200;
    return {};
  }
  std::map<WString, int> RemoveData(const WString&, TextList, int& status) override {
    status = 200;
    return {};
  }
  int KeepLock() override { return 200; }
  bool LockLost() override { return script_->lockLost.load(); }

 private:
  std::shared_ptr<FakeNetScript> script_;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_FAKE_NET_H_
