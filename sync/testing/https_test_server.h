// An in-process HTTPS server for tests of the protocol client, on OpenSSL: listens on
// 127.0.0.1 with an ephemeral port, records every request exactly as received (request line,
// header lines in arrival order, body) and answers with scripted responses.
//
// It serves the certificate that the build signed with the test CA in "Cacert.pem" beside
// the test executable, or a self-signed one that nothing trusts. It copes with what libcurl
// sends: keep-alive connections and "Expect: 100-continue". Every method is thread-safe;
// connections are served on threads of their own. Stop (or destruction) closes every
// connection and waits for those threads.
#ifndef QUILLET_SYNC_TESTING_HTTPS_TEST_SERVER_H_
#define QUILLET_SYNC_TESTING_HTTPS_TEST_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quillet {
namespace testing {

struct RecordedRequest {
  std::string requestLine;               // "POST /path?query HTTP/1.1"
  std::vector<std::string> headerLines;  // without their CR LF, in arrival order
  std::string body;
  std::string alpn;  // the protocol agreed in the TLS handshake, "" when none

  std::string Target() const;  // "/path?query"
  // Value of the first header of that name (any case), blanks around it removed; "" if none.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct ScriptedResponse {
  int status = 200;
  std::vector<std::string> headers;  // extra header lines, e.g. "Lock-Token: abc"
  std::string body;
  int delayMs = 0;                  // wait before answering
  bool closeWithoutAnswer = false;  // drop the connection instead of answering
  bool cutBody = false;             // announce the whole body, send half of it, hang up
  bool untilClose = false;          // no Content-Length: the body ends when the server hangs up
};

class HttpsTestServer {
 public:
  // The platform's socket (SOCKET on Windows), without its headers in every test.
#if defined(_WIN32)
  using Socket = unsigned long long;
#else
  using Socket = int;
#endif

  enum class Certificate { kTrusted, kUntrusted };

  explicit HttpsTestServer(Certificate certificate = Certificate::kTrusted);
  // Before Start: offer "h2" ahead of "http/1.1" by ALPN, the way HTTP/2 servers do (this
  // server speaks only HTTP/1.1, so a client that takes h2 gets no answer).
  void OfferHttp2() { offerHttp2_ = true; }
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  // False (with the reason in error()) when the certificates or the socket fail.
  bool Start();
  void Stop();
  const std::string& error() const { return error_; }

  int port() const { return port_; }
  // "https://127.0.0.1:<port>/"
  std::string BaseUrl() const;

  // Answers are taken from the handler when set, else from the queue in order, else the
  // default (200 with an empty body).
  void Enqueue(ScriptedResponse response);
  void SetDefault(ScriptedResponse response);
  void SetHandler(std::function<ScriptedResponse(const RecordedRequest&)> handler);

  // Ends a kept-alive connection that brings no request for ms (0: never).
  void CloseIdleAfter(int ms) { idleCloseMs_ = ms; }
  // Connections accepted so far.
  size_t ConnectionCount() const;

  std::vector<RecordedRequest> Requests() const;
  size_t RequestCount() const;
  // Requests whose target contains text, e.g. "method=KEEPLOCK".
  size_t CountTargets(const std::string& text) const;
  // Waits until count requests have arrived; false after timeoutMs.
  bool WaitForRequests(size_t count, int timeoutMs) const;
  void ClearRequests();

 private:
  struct Connection;

  void AcceptLoop();
  void Serve(Socket fd);
  ScriptedResponse Answer(const RecordedRequest& request);

  const Certificate certificate_;
  bool offerHttp2_ = false;
  std::string error_;
  Socket listenFd_ = static_cast<Socket>(-1);
  int port_ = 0;
  void* context_ = nullptr;  // SSL_CTX
  std::atomic<bool> stopping_{false};
  std::atomic<int> idleCloseMs_{0};
  std::thread acceptThread_;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  std::vector<std::thread> workers_;
  std::set<Socket> openFds_;
  size_t connections_ = 0;
  std::vector<RecordedRequest> requests_;
  std::deque<ScriptedResponse> queue_;
  ScriptedResponse default_;
  std::function<ScriptedResponse(const RecordedRequest&)> handler_;
};

// Directory of the running test executable (where "Cacert.pem" lies).
std::string ExecutableDirectory();

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_HTTPS_TEST_SERVER_H_
