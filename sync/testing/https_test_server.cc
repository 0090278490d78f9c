#include "sync/testing/https_test_server.h"

#include "sync/testing/socket_shim.h"
// After winsock2.h: OpenSSL's headers pull in windows.h, which must not bring winsock 1.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <type_traits>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace quillet {
namespace testing {
static_assert(std::is_same<HttpsTestServer::Socket, sockets::Socket>::value,
              "the header's socket type is the platform's");
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 207:
      return "Multi-Status";
    case 400:
      return "Bad Request";
    case 402:
      return "Payment Required";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

// Reads from one TLS connection with a buffer, so that pipelined bytes are not lost.
class Reader {
 public:
  explicit Reader(SSL* ssl) : ssl_(ssl) {}

  // Everything up to and including the blank line that ends a request head. With idleMs > 0
  // a connection that brings no new request for that long ends (like a server's keep-alive
  // time-out).
  bool ReadHead(std::string* head, int idleMs) {
    if (idleMs > 0 && buffer_.empty() && SSL_pending(ssl_) == 0) {
      if (sockets::WaitReadable(sockets::FromSslFd(SSL_get_fd(ssl_)), idleMs) <= 0) return false;
    }
    for (;;) {
      const size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        *head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        return true;
      }
      if (buffer_.size() > (1u << 20) || !Fill()) return false;
    }
  }

  bool ReadBody(size_t length, std::string* body) {
    while (buffer_.size() < length) {
      if (!Fill()) return false;
    }
    *body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    return true;
  }

 private:
  bool Fill() {
    char chunk[16384];
    const int n = SSL_read(ssl_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  SSL* ssl_;
  std::string buffer_;
};

bool WriteAll(SSL* ssl, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const int n = SSL_write(ssl, data.data() + sent, static_cast<int>(data.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ExecutableDirectory() {
#if defined(_WIN32)
  // UTF-8, the way the tests compare it with the library's own (wide) module directory.
  std::vector<wchar_t> wide(32768);
  const DWORD n = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
  if (n == 0 || n >= wide.size()) return ".";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(n), nullptr, 0,
                                        nullptr, nullptr);
  std::string exe(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(n), &exe[0], bytes, nullptr,
                      nullptr);
  return exe.substr(0, exe.find_last_of('\\'));
#else
  char path[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  if (n <= 0) return ".";
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.find_last_of('/'));
#endif
}

std::string RecordedRequest::Target() const {
  const size_t begin = requestLine.find(' ');
  if (begin == std::string::npos) return std::string();
  const size_t end = requestLine.find(' ', begin + 1);
  return requestLine.substr(begin + 1, end == std::string::npos ? end : end - begin - 1);
}

std::string RecordedRequest::Header(const std::string& name) const {
  const std::string wanted = Lower(name);
  for (const std::string& line : headerLines) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == wanted) {
      return Trim(line.substr(colon + 1));
    }
  }
  return std::string();
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  const std::string wanted = Lower(name);
  for (const std::string& line : headerLines) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == wanted) return true;
  }
  return false;
}

HttpsTestServer::HttpsTestServer(Certificate certificate) : certificate_(certificate) {}

HttpsTestServer::~HttpsTestServer() { Stop(); }

bool HttpsTestServer::Start() {
  sockets::IgnoreBrokenPipes();
  if (!sockets::Start()) {
    error_ = "WSAStartup failed";
    return false;
  }
  const std::string dir = ExecutableDirectory() + "/test_certs/";
  const std::string name = certificate_ == Certificate::kTrusted ? "server" : "untrusted";
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    error_ = "SSL_CTX_new failed";
    return false;
  }
  context_ = context;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (offerHttp2_) {
    SSL_CTX_set_alpn_select_cb(
        context,
        [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
           unsigned int inLength, void*) {
          static const unsigned char kServerOrder[] = "\x02h2\x08http/1.1";
          unsigned char* selected = nullptr;
          if (SSL_select_next_proto(&selected, outLength, kServerOrder, sizeof(kServerOrder) - 1,
                                    in, inLength) != OPENSSL_NPN_NEGOTIATED) {
            return SSL_TLSEXT_ERR_NOACK;
          }
          *out = selected;
          return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
  }
  if (SSL_CTX_use_certificate_chain_file(context, (dir + name + ".pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, (dir + name + ".key").c_str(), SSL_FILETYPE_PEM) != 1) {
    error_ = "cannot load " + dir + name + ".pem/.key (built by quillet_test_certs)";
    return false;
  }

  int port = 0;
  listenFd_ = sockets::BindLoopback(&port, /*listening=*/true);
  if (!sockets::Valid(listenFd_)) {
    error_ = "socket/bind/listen on 127.0.0.1 failed";
    return false;
  }
  port_ = port;
  acceptThread_ = std::thread(&HttpsTestServer::AcceptLoop, this);
  return true;
}

void HttpsTestServer::Stop() {
  stopping_ = true;
  changed_.notify_all();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const sockets::Socket fd : openFds_) sockets::ShutdownBoth(fd);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
  if (sockets::Valid(listenFd_)) sockets::Close(listenFd_);
  listenFd_ = sockets::kInvalid;
  if (context_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(context_));
  context_ = nullptr;
}

size_t HttpsTestServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::string HttpsTestServer::BaseUrl() const {
  return "https://127.0.0.1:" + std::to_string(port_) + "/";
}

void HttpsTestServer::AcceptLoop() {
  while (!stopping_) {
    if (sockets::WaitReadable(listenFd_, 20) <= 0) continue;
    const sockets::Socket fd = accept(listenFd_, nullptr, nullptr);
    if (!sockets::Valid(fd)) continue;
    // Small answers go out at once instead of waiting for the client's acknowledgement.
    sockets::EnableOption(fd, IPPROTO_TCP, TCP_NODELAY);
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    openFds_.insert(fd);
    workers_.emplace_back(&HttpsTestServer::Serve, this, fd);
  }
}

void HttpsTestServer::Serve(sockets::Socket fd) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
  if (ssl != nullptr && SSL_set_fd(ssl, sockets::ToSslFd(fd)) == 1 && SSL_accept(ssl) == 1) {
    const unsigned char* agreed = nullptr;
    unsigned int agreedLength = 0;
    SSL_get0_alpn_selected(ssl, &agreed, &agreedLength);
    const std::string alpn(reinterpret_cast<const char*>(agreed), agreed ? agreedLength : 0);
    Reader reader(ssl);
    std::string head;
    while (!stopping_ && reader.ReadHead(&head, idleCloseMs_.load())) {
      RecordedRequest request;
      request.alpn = alpn;
      size_t at = head.find("\r\n");
      request.requestLine = head.substr(0, at);
      for (at += 2; at + 2 < head.size();) {
        const size_t end = head.find("\r\n", at);
        request.headerLines.push_back(head.substr(at, end - at));
        at = end + 2;
      }
      if (Lower(request.Header("Expect")) == "100-continue" &&
          !WriteAll(ssl, "HTTP/1.1 100 Continue\r\n\r\n")) {
        break;
      }
      const std::string lengthText = request.Header("Content-Length");
      size_t length = 0;
      for (const char c : lengthText) {
        if (c < '0' || c > '9' || length > (1u << 26)) break;
        length = length * 10 + static_cast<size_t>(c - '0');
      }
      if (!reader.ReadBody(length, &request.body)) break;

      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      changed_.notify_all();
      const ScriptedResponse answer = Answer(request);
      if (answer.delayMs > 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(answer.delayMs),
                          [this] { return stopping_.load(); });
      }
      if (answer.closeWithoutAnswer || stopping_) break;
      std::string out =
          "HTTP/1.1 " + std::to_string(answer.status) + " " + Reason(answer.status) + "\r\n";
      if (!answer.untilClose) {
        out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
      }
      for (const std::string& line : answer.headers) out += line + "\r\n";
      out += "\r\n";
      if (answer.untilClose) {
        WriteAll(ssl, out + answer.body);
        break;
      }
      if (answer.cutBody) {
        out += answer.body.substr(0, answer.body.size() / 2);
        WriteAll(ssl, out);
        break;  // hang up with the rest of the announced body unsent
      }
      out += answer.body;
      if (!WriteAll(ssl, out)) break;
      if (Lower(request.Header("Connection")) == "close") break;
    }
    SSL_shutdown(ssl);
  }
  if (ssl != nullptr) SSL_free(ssl);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.erase(fd);
  }
  sockets::Close(fd);
}

ScriptedResponse HttpsTestServer::Answer(const RecordedRequest& request) {
  std::function<ScriptedResponse(const RecordedRequest&)> handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handler_) {
      if (queue_.empty()) return default_;
      ScriptedResponse next = queue_.front();
      queue_.pop_front();
      return next;
    }
    handler = handler_;
  }
  return handler(request);
}

void HttpsTestServer::Enqueue(ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(response));
}

void HttpsTestServer::SetDefault(ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(response);
}

void HttpsTestServer::SetHandler(std::function<ScriptedResponse(const RecordedRequest&)> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> HttpsTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t HttpsTestServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

size_t HttpsTestServer::CountTargets(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(
      requests_.begin(), requests_.end(),
      [&text](const RecordedRequest& r) { return r.Target().find(text) != std::string::npos; }));
}

bool HttpsTestServer::WaitForRequests(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= count; });
}

void HttpsTestServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

}  // namespace testing
}  // namespace quillet
