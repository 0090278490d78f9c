// The protocol client: the ten protocol operations over the HTTPS transport, with the lock
// keep-alive timer that sends KEEPLOCK while a lock is held.
//
// Ownership: the session owns the client; the client owns its transport and its timer.
// Thread-safety: the operations run on the session's thread while KeepLock also runs on the
// timer's thread; the transport and the timer guard their own state and the interval is
// atomic. Failures: transport and HTTP failures come back as statuses. An answer that cannot
// be read whole (cut off, not JSON, a member twice or of the wrong type, the data list
// missing) is logged with the operation's name and counts as none: status 0, empty result.
// Nothing throws.
#ifndef QUILLET_SYNC_NET_APP_NET_INTERFACE_H_
#define QUILLET_SYNC_NET_APP_NET_INTERFACE_H_

#include <atomic>

#include "sync/net/base_net_interface.h"
#include "sync/net/net_interface.h"
#include "sync/net/sdk_timer.h"

namespace quillet {

class AppNetInterface : public INetInterface, public SdkTimer, public BaseNetInterface {
 public:
  explicit AppNetInterface(const NetConfig& config);
  // Stops the timer first, waiting for a running KEEPLOCK; sends no UNLOCK.
  ~AppNetInterface() override;

  int Lock(CtagMap& ctags) override;
  // Stops the timer whatever the status.
  int Unlock(CtagMap& ctags) override;
  int QueryCtag(CtagMap& ctags) override;
  int GetEtagList(const WString& dataType, std::vector<EtagItem>& etags) override;
  int DownloadData(const WString& dataType, TextList guids, StructList& records) override;
  std::map<WString, AddResult> AddData(const WString& dataType, TextPairList items,
                                       int& status) override;
  std::map<WString, UpdateResult> UpdateData(const WString& dataType, TextPairList items,
                                             int& status) override;
  std::map<WString, int> RemoveData(const WString& dataType, TextList guids,
                                    int& status) override;
  // Renews the lock; an answer with a new interval re-times the timer. It must answer within
  // half an interval (at most kSmallAnswerMs); a failure marks the lock lost.
  int KeepLock() override;
  // The lock counts as held from a successful LOCK for as long as the last LOCK or KEEPLOCK
  // that succeeded was sent less than an interval and a half ago (the half an interval is
  // the time a renewal has to come back). A KEEPLOCK answered with a failure, or no success
  // within that time, marks it lost until the next LOCK: no write is sent any more (they
  // answer kLockLostStatus without a request), and the session stores no ctag of UNLOCK.
  bool LockLost() override;
  // The status of a write refused because the lock was lost: the "lock could not be held"
  // code, which the passes hand on unchanged.
  static constexpr int kLockLostStatus = 1001;

  // SyncServerUrl + "vastre/" + UserID + "/" + SyncType, each id a path segment.
  const WString& BaseUrl() const { return baseUrl_; }
  // text as one URL path segment: the UTF-8 bytes outside letters, digits and "-._~" as
  // "%XX", so that no id can climb the path ("/", ".."), start a query ("?") or cut the
  // URL ("#").
  static WString PathSegment(const WString& text);
  // Keep-alive interval in seconds: 60 until an answer brings another.
  int Interval() const { return interval_.load(); }

  // Request bodies; every value is escaped for its JSON string.
  static WString DownloadBody(const TextList& guids);
  static WString AddBody(const WString& dataType, const TextPairList& items);
  static WString UpdateBody(const WString& dataType, const TextPairList& items);
  static WString RemoveBody(const TextList& guids);
  // True for the data types whose uploads carry no "props" with a hash.
  static bool IsNoHashDataType(const WString& dataType);

 protected:
  void OnTimer() override;
  // Ends a renewal stuck in its request (within about a second) and stops the timer; the
  // destructors call it before anything goes.
  void StopRenewals();

 private:
  // Keep-alive intervals in seconds: the starting value, and the range an answer may set;
  // 0, null or a negative value would turn the keep-alive off and the lock would expire
  // mid-round, so such a value gives the default and a huge one the maximum (logged).
  static constexpr int kDefaultInterval = 60;
  static constexpr int kMinInterval = 1;
  static constexpr int kMaxInterval = 3600;
  static int SaneInterval(int seconds);
  // interval seconds as a period in milliseconds, wrapping like 32-bit arithmetic.
  static int PeriodOf(int interval);
  // The URL of a data type's operation: base URL + "/" + the data type + method.
  WString TypeUrl(const WString& dataType, const char16_t* method) const;

  // One KEEPLOCK and its answer; KeepLock judges the outcome.
  int Renew();
  // Marks the lock lost (once, with a log line naming why); false when no lock is held.
  void MarkLockLost(const WString& why);
  // True (and logged) when a write must not go out: the lock was lost.
  bool RefuseWrite(const char16_t* operation, int& status);

  const WString baseUrl_;
  std::atomic<int> interval_{kDefaultInterval};
  std::atomic<bool> lockHeld_{false};  // LOCK succeeded and no UNLOCK since
  std::atomic<bool> lockLost_{false};
  std::atomic<long long> confirmedAtMs_{0};  // send time of the last LOCK/KEEPLOCK that held
  std::atomic<bool> renewalCancel_{false};   // ends a running KEEPLOCK's transfer
};

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_APP_NET_INTERFACE_H_
