// The cloud protocol client as the session and the passes use it.
#ifndef QUILLET_SYNC_NET_NET_INTERFACE_H_
#define QUILLET_SYNC_NET_NET_INTERFACE_H_

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "sync/common/records.h"
#include "sync/store/store_records.h"

namespace quillet {

// Collection name (the data type) -> its ctag entry; a later entry replaces an earlier one.
using CtagMap = std::map<WString, CtagItem>;

struct AddResult {
  int status = 0;
  WString guid;
  WString luid;
  WString etag;
};

struct UpdateResult {
  int status = 0;
  WString guid;
  WString etag;
};

using TextPairList = std::vector<std::pair<WString, WString>>;

// Statuses: an HTTP status, a result code from the response body, or 0 when no complete
// response was obtained (also when an answer of the data operations could not be read
// whole: a partial list is never handed on); 200-299 is success. Operations run on the sync thread,
// KeepLock also on the keep-alive timer's thread.
class INetInterface {
 public:
  virtual ~INetInterface() = default;
  virtual int Lock(CtagMap& ctags) = 0;
  virtual int Unlock(CtagMap& ctags) = 0;
  virtual int QueryCtag(CtagMap& ctags) = 0;
  virtual int GetEtagList(const WString& dataType, std::vector<EtagItem>& etags) = 0;
  virtual int DownloadData(const WString& dataType, TextList guids, StructList& records) = 0;
  // items: (luid, data) pairs. Result keyed by luid.
  virtual std::map<WString, AddResult> AddData(const WString& dataType, TextPairList items,
                                               int& status) = 0;
  // items: (guid, data) pairs. Result keyed by guid. status: the request's own status, as
  // AddData reports it; a broken or missing answer gives 0 and an empty result.
  virtual std::map<WString, UpdateResult> UpdateData(const WString& dataType, TextPairList items,
                                                     int& status) = 0;
  virtual std::map<WString, int> RemoveData(const WString& dataType, TextList guids,
                                            int& status) = 0;
  virtual int KeepLock() = 0;
  // True once the cloud lock that Lock took is known to be lost (a renewal failed, or none
  // succeeded in time; see AppNetInterface). Stays true for the client's round. A client
  // without a keep-alive never loses its lock.
  virtual bool LockLost() { return false; }
};

using NetInterfacePtr = std::unique_ptr<INetInterface>;

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_NET_INTERFACE_H_
