// The HTTPS transport of the protocol client on libcurl: one authenticated POST per call,
// with the protocol's headers, the credential string, the lock token captured from
// responses, the user's proxy and the CA bundle beside the host executable.
//
// Ownership: one instance per protocol client, built from the client's NetConfig; it owns
// its headers, the lock token line and a share handle kept for its whole life, through
// which its requests share DNS answers, connections and TLS sessions.
// Thread-safety: SendRequest may run on several threads at once on one instance (the sync
// thread and the keep-alive timer); the headers, the lock token line, the token and the
// share handle are guarded. Failures are statuses (0: no response), never exceptions.
#ifndef QUILLET_SYNC_NET_BASE_NET_INTERFACE_H_
#define QUILLET_SYNC_NET_BASE_NET_INTERFACE_H_

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sync/common/records.h"
#include "sync/net/json_util.h"

namespace quillet {

// How one request may travel and how long it may take.
struct RequestPolicy {
  // It changes the cloud (LOCK, KEEPLOCK, UNLOCK, a write): libcurl must never send it a
  // second time. It does so by itself only when a reused connection died before the first
  // byte of the answer, which stored a write twice. A body is therefore handed over so
  // that libcurl cannot rewind it (the transfer then fails instead), and a request without
  // a body, which needs no rewind, goes out on a connection of its own, closed after it
  // (TLS sessions stay shared, so its handshake stays short).
  bool changesCloud = false;
  // Its answer is small by kind: the whole request ends within deadlineMs, plus the time its
  // body takes at the floor rate. 0: a listing or a download, which must average the floor
  // rate once its first kGraceMs are over.
  long deadlineMs = 0;
  // Set from another thread: the transfer ends within about a second, as no response.
  const std::atomic<bool>* cancel = nullptr;

  static RequestPolicy Read() { return RequestPolicy(); }
  static RequestPolicy Change(long deadlineMs);
};

class BaseNetInterface {
 public:
  explicit BaseNetInterface(const NetConfig& config);
  virtual ~BaseNetInterface();
  BaseNetInterface(const BaseNetInterface&) = delete;
  BaseNetInterface& operator=(const BaseNetInterface&) = delete;

  // Limits of every transfer: connecting may take kConnectTimeoutMs; once connected, a
  // transfer that moves less than one byte per second for kStallSeconds ends as no response.
  static constexpr long kConnectTimeoutMs = 30000;
  static constexpr long kStallSeconds = 60;
  // Shortens both limits for every later request of the process (tests only).
  static void SetTransferLimitsForTesting(long connectMs, long stallSeconds);
  // Total deadlines. A request with a small answer ends within kSmallAnswerMs (plus its
  // body at the floor rate). A listing or download may take kGraceMs and then must have
  // moved at least kFloorBytesPerSecond on average, so it ends within kGraceMs +
  // (kMaxBodyBytes + its body) / kFloorBytesPerSecond whatever the server does (about
  // 4 h 34 min for the largest answer kept; a trickle of a few bytes a second ends after
  // kGraceMs).
  static constexpr long kSmallAnswerMs = 60000;
  static constexpr long kGraceMs = 60000;
  static constexpr long kFloorBytesPerSecond = 32 * 1024;
  // Replaces the three for every later request of the process; 0 restores one (tests only).
  static void SetDeadlinesForTesting(long smallAnswerMs, long graceMs, long floorBytesPerSecond);
  // kSmallAnswerMs, or what a test set instead.
  static long SmallAnswerMs();
  // The largest answer body kept; a larger one ends the transfer as no response.
  static constexpr size_t kMaxBodyBytes = size_t{512} * 1024 * 1024;
  // Lowers that bound for every later request of the process; 0 restores it (tests only).
  static void SetMaxBodyBytesForTesting(size_t bytes);
  // Looks for "Cacert.pem" in dir instead of beside the executable; empty: beside it again.
  static void SetCaDirectoryForTesting(const WString& dir);

  // POST body to url; the status is the HTTP status, the body's "result"."code" when it has
  // one, or 0 without a complete response (libcurl reported the transfer failed, or a limit
  // above ended it); the body is then empty. Only https is spoken: a URL of another scheme
  // sends nothing and gives 0. A 402 refreshes the token through the host once and
  // sends the request again.
  int SendRequest(const WString& url, const WString& body, std::string& response);
  // The same, with the answer parsed once for its result code and handed back in parsed.
  int SendRequest(const WString& url, const WString& body, std::string& response,
                  ParsedAnswer& parsed);
  // The same under policy (the others send a read).
  int SendRequest(const WString& url, const WString& body, std::string& response,
                  ParsedAnswer& parsed, const RequestPolicy& policy);
  // One POST, no refresh, no result code; 0 and an empty body when the transfer failed.
  int HttpRequest(const WString& url, const WString& body, std::string& response,
                  const RequestPolicy& policy = RequestPolicy::Read());
  // Replaces status by the body's "result"."code" when there is one of a usable type.
  void ReadResultCode(int& status, const std::string& response);
  void ReadResultCode(int& status, const Json::Value& root);
  // Rebuilds "Authorization" from the credential string.
  void UpdateAuthorization();
  // SyncType + "_11_" + seconds since 1970 + "_" + eight random digits; empty on failure.
  WString GetTraceId() const;

  // Snapshots, for the client's own logs and for tests.
  std::vector<std::string> HeaderLines() const;  // the lines every request carries
  WString CredentialString() const;
  WString DeviceId() const { return deviceId_; }
  WString Token() const;
  std::string LockTokenLine() const;

  // Percent-encoding of the ANSI bytes of text: letters, digits and "-_.~" stay, a blank
  // becomes "+", every other byte "%XX".
  static WString UrlEncode(const WString& text);
  // Base64 with "-" and "_" for 62 and 63, "=" fill kept.
  static std::string Base64UrlEncode(const std::string& bytes);
  // The user's manual proxy in the ANSI code page; empty for none.
  static std::string GetIeProxy();
  // Directory of the host's executable, without a trailing separator; empty if unknown.
  static WString GetModuleDirectory();

  // Header callback: keeps a "Lock-Token:" line (exact case) without its line end.
  size_t CaptureLockToken(const char* line, size_t length);

 protected:
  // Never changes after construction, so it is read without a lock.
  const NetConfig& Config() const { return config_; }

 private:
  struct Share;  // the libcurl share handle with its lock callbacks

  WString CredentialStringLocked() const;
  void UpdateAuthorizationLocked();
  void RefreshToken();
  void* BuildHeaderList() const;  // a curl_slist the caller frees
  bool ApplyTlsOptions(void* easy) const;
  int PerformRequest(void* easy) const;
  Share* GetShare();

  mutable std::mutex mutex_;  // guards headers_, lockTokenLine_, token_ and share_
  std::map<WString, WString> headers_;
  std::string lockTokenLine_;
  const WString deviceId_;
  const WString credentialPrefix_;
  const NetConfig config_;
  std::unique_ptr<Share> share_;
  WString token_;
  std::mutex refreshMutex_;  // one token refresh at a time reaches the host
};

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_BASE_NET_INTERFACE_H_
