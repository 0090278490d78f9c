// The floor client's HTTPS transport: every request a POST with the library's headers and
// TLS options, and nothing else (no logging, no text conversions, no header list rebuilt
// per request). Two ways to connect:
//   kNew     a connection per request (the requests share only their DNS cache);
//   kShared  one share handle holds DNS, the connection cache and TLS sessions, so that
//            the requests of one client reuse connections and resume sessions.
// Thread-safe: the keep-alive thread sends through the same transport as the sync thread.
#ifndef QUILLET_BENCH_FLOOR_TRANSPORT_H_
#define QUILLET_BENCH_FLOOR_TRANSPORT_H_

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <string>

namespace quillet {
namespace bench {

enum class ConnectionMode { kNew, kShared };

const char* ModeName(ConnectionMode mode);
// "new" or "shared"; false for anything else.
bool ParseMode(const std::string& name, ConnectionMode* mode);

// What the header lines carry.
struct FloorIdentity {
  std::string syncType;
  std::string userId;
  std::string appId;
  std::string accessToken;  // as the host hands it over, before URL encoding
  std::string deviceId;
  std::string language;  // Accept-Language
};

class FloorTransport {
 public:
  // caFile: the only trust anchor.
  FloorTransport(ConnectionMode mode, const FloorIdentity& identity, std::string caFile);
  ~FloorTransport();
  FloorTransport(const FloorTransport&) = delete;
  FloorTransport& operator=(const FloorTransport&) = delete;

  // One POST. Returns the HTTP status, 0 without a complete answer (then *answer is empty).
  int Post(const std::string& url, const std::string& body, std::string* answer);

 private:
  struct Share;
  using HeaderList = std::shared_ptr<curl_slist>;

  HeaderList Headers() const;
  void KeepLockToken(const std::string& line);
  HeaderList BuildHeaders() const;  // headerMutex_ held

  std::unique_ptr<Share> share_;
  const std::string caFile_;
  std::string fixedLines_[8];  // the header lines after the lock token, in the order sent

  mutable std::mutex headerMutex_;
  std::string lockTokenLine_;
  HeaderList headers_;  // a request in flight keeps its own reference
};

}  // namespace bench
}  // namespace quillet

#endif  // QUILLET_BENCH_FLOOR_TRANSPORT_H_
