// A protocol client that passes on only the answer entries about records of the request
// actually sent, each once: additions by luid, updates and removals by guid, downloaded
// records by the guid asked for. A server that answers for records it was never sent
// (by fault or on purpose) would otherwise write etag rows for them, tell the host they
// were added or deleted, and make the next round delete a record that exists only here.
// The other entries are logged one by one and their count is reported to the host.
// Records asked for and not answered are left to the caller, as before. Sync thread only.
#ifndef QUILLET_SYNC_ENGINE_ASKED_ANSWERS_H_
#define QUILLET_SYNC_ENGINE_ASKED_ANSWERS_H_

#include "sync/common/records.h"
#include "sync/net/net_interface.h"

namespace quillet {

class AskedAnswersOnly : public INetInterface {
 public:
  AskedAnswersOnly(INetInterface& net, const NetConfig& session) : net_(net), session_(session) {}

  int Lock(CtagMap& ctags) override { return net_.Lock(ctags); }
  int Unlock(CtagMap& ctags) override { return net_.Unlock(ctags); }
  int QueryCtag(CtagMap& ctags) override { return net_.QueryCtag(ctags); }
  int GetEtagList(const WString& dataType, std::vector<EtagItem>& etags) override {
    return net_.GetEtagList(dataType, etags);
  }
  int KeepLock() override { return net_.KeepLock(); }
  bool LockLost() override { return net_.LockLost(); }

  int DownloadData(const WString& dataType, TextList guids, StructList& records) override;
  std::map<WString, AddResult> AddData(const WString& dataType, TextPairList items,
                                       int& status) override;
  std::map<WString, UpdateResult> UpdateData(const WString& dataType, TextPairList items,
                                             int& status) override;
  std::map<WString, int> RemoveData(const WString& dataType, TextList guids,
                                    int& status) override;

  // Entries ignored so far, over every answer.
  long long ignored() const { return ignored_; }

 private:
  // Logs and reports the entries of one answer that were ignored; nothing when none were.
  void Ignored(const char16_t* operation, long long count);

  INetInterface& net_;
  const NetConfig& session_;
  long long ignored_ = 0;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_ENGINE_ASKED_ANSWERS_H_
