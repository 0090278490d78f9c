// The reference sync server: the sync service behind an HTTPS listener, plus what tests
// need around it (an ephemeral port, scripted faults, a log of the requests served).
//
//   SyncServerOptions options;
//   options.cert_file = dir + "/server.pem";
//   options.key_file = dir + "/server.key";
//   SyncServer server(options);
//   std::string error;
//   if (!server.Start(&error)) ...;
//   // base URL for clients: server.url(), e.g. "https://127.0.0.1:41234/"
//   server.AddFault(Fault::Status("REPORT", 2, 500));  // the 2nd REPORT from now fails
//   server.service().Records({"user", "browser"}, "bookmark");
#ifndef QUILLET_TOOLS_SYNC_SERVER_SYNC_SERVER_H_
#define QUILLET_TOOLS_SYNC_SERVER_SYNC_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/sync_server/sync_service.h"

namespace httplib {
class SSLServer;
}

namespace quillet::syncserver {

struct SyncServerOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port, see port() after Start
  std::string cert_file;
  std::string key_file;
  std::string data_file;  // empty: in memory only
  int interval_seconds = 60;
  int lock_timeout_ms = 0;  // 0: three intervals
  size_t record_limit = 0;  // 0: no limit
  // When set, every request received is appended to this file as it arrived (method,
  // target, headers, body), so that what two clients sent can be compared byte for byte.
  std::string request_record_file;
};

// A scripted misbehaviour for requests of one method. Requests are counted per fault from
// the moment it is added; the fault acts on the nth matching one and on the times - 1
// after it (times 0: on every one from the nth on).
struct Fault {
  enum class Kind {
    kStatus,      // answer http_status (and result_code in the body) without serving
    kBrokenBody,  // serve the request, then send only the first half of the body
    kDelay,       // wait delay_ms, then serve the request
    kCutConnection,  // serve, announce the whole body, send its first half and hang up
    kRewriteBody,    // serve, then send rewrite(body) instead of the body
  };
  std::string method;  // LOCK, KEEPLOCK, UNLOCK, PROPFIND, REPORT, POST, or "*"
  int nth = 1;
  int times = 1;
  Kind kind = Kind::kStatus;
  int http_status = 500;
  std::optional<int> result_code;  // "result"."code" of the body; none: an empty body
  int delay_ms = 0;
  std::function<std::string(const std::string&)> rewrite;

  static Fault Status(const std::string& method, int nth, int http_status,
                      std::optional<int> result_code);
  // The body's "result"."code" is the HTTP status.
  static Fault Status(const std::string& method, int nth, int http_status);
  static Fault BrokenBody(const std::string& method, int nth);
  static Fault Delay(const std::string& method, int nth, int delay_ms);
  static Fault CutConnection(const std::string& method, int nth);
  static Fault RewriteBody(const std::string& method, int nth,
                           std::function<std::string(const std::string&)> rewrite);
};

// TLS connections the server accepted since Start, and how many of them resumed an earlier
// TLS session instead of a full handshake.
struct ConnectionCounts {
  long accepted = 0;
  long resumed = 0;
};

struct LoggedRequest {
  std::string operation;  // upper-case method parameter as received
  std::string user;
  std::string sync_type;
  std::string collection;
  int http_status = 0;
  bool faulted = false;
};

class SyncServer {
 public:
  explicit SyncServer(SyncServerOptions options);
  ~SyncServer();
  SyncServer(const SyncServer&) = delete;
  SyncServer& operator=(const SyncServer&) = delete;

  // Opens the data, loads the certificate and starts listening. On failure returns false
  // with a message meant for a person. Starting again after Stop reopens the data (an
  // in-memory server then starts empty).
  bool Start(std::string* error);
  // Stops listening and waits for requests in progress (delayed ones are cut short).
  void Stop();
  bool running() const;

  int port() const { return port_; }
  // "https://HOST:PORT/", the SyncServerUrl a client is given.
  std::string url() const;

  // Valid after a successful Start, until the next Start or destruction.
  SyncService& service() { return *service_; }

  void AddFault(const Fault& fault);
  void ClearFaults();

  // Requests served so far (also faulted ones) with this upper-case method.
  int RequestCount(const std::string& operation) const;
  // Every method's count so far, by upper-case method.
  std::map<std::string, int> RequestCounts() const;
  // Requests of this method received so far, counted on arrival, before any delay or
  // answer: tells a test that a client is now waiting for its answer.
  int ReceivedCount(const std::string& operation) const;
  // Since the latest Start; after Stop, the counts at Stop.
  ConnectionCounts Connections() const;
  // The most recent requests, oldest first (at most the last 100000).
  std::vector<LoggedRequest> Requests() const;
  void ClearRequests();

 private:
  struct ActiveFault {
    Fault fault;
    int seen = 0;
  };
  struct FaultPlan {
    std::optional<Fault> status;
    bool broken_body = false;
    bool cut_connection = false;
    int delay_ms = 0;
    std::function<std::string(const std::string&)> rewrite;
  };

  FaultPlan TakeFaults(const std::string& operation);
  void Wait(int milliseconds);
  void Log(LoggedRequest entry);
  void Record(const std::string& text);

  SyncServerOptions options_;
  std::unique_ptr<SyncService> service_;
  std::unique_ptr<httplib::SSLServer> http_;
  std::thread listener_;
  int port_ = 0;
  ConnectionCounts stopped_connections_;

  std::mutex fault_mutex_;
  std::vector<ActiveFault> faults_;

  mutable std::mutex log_mutex_;
  std::deque<LoggedRequest> log_;
  std::map<std::string, int> counts_;
  std::map<std::string, int> received_;

  std::mutex record_mutex_;
  std::unique_ptr<std::ofstream> record_;

  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
};

}  // namespace quillet::syncserver

#endif  // QUILLET_TOOLS_SYNC_SERVER_SYNC_SERVER_H_
