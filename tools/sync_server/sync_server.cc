#include "tools/sync_server/sync_server.h"

// httplib brings the platform's sockets: winsock2 on Windows, the POSIX headers elsewhere.
#include <httplib.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

namespace quillet::syncserver {
namespace {

constexpr size_t kMaxLoggedRequests = 100000;
// Far above what a batch of the client needs; keeps a runaway body from eating memory.
constexpr size_t kMaxBodyBytes = 64u << 20;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

bool Readable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in.good();
}

#if defined(_WIN32)
// Winsock reports its errors apart from errno, and closes sockets with a call of its own.
int LastSocketError() { return WSAGetLastError(); }
constexpr int kAddressInUse = WSAEADDRINUSE;
std::string SocketErrorText(int code) { return "socket error " + std::to_string(code); }
void CloseSocket(socket_t fd) { ::closesocket(fd); }
#else
int LastSocketError() { return errno; }
constexpr int kAddressInUse = EADDRINUSE;
std::string SocketErrorText(int code) { return std::strerror(code); }
void CloseSocket(socket_t fd) { ::close(fd); }
#endif

// httplib only says that binding failed; a bind of our own names the reason.
std::string BindFailure(const std::string& host, int port) {
  socket_t fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd == INVALID_SOCKET) return SocketErrorText(LastSocketError());
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  std::string why = "cannot bind";
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    why = "not an IPv4 address";
  } else if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int code = LastSocketError();
    why = code == kAddressInUse ? "port already in use" : SocketErrorText(code);
  }
  CloseSocket(fd);
  return why;
}

// One request as received, for the request record: the request line, every header in the
// order of their names (httplib keeps no arrival order) but for the addresses httplib adds
// itself, then the body with its length.
std::string RecordText(const httplib::Request& req) {
  std::string text = "== " + req.method + " " + req.target + " " + req.version + "\n";
  for (const auto& [name, value] : req.headers) {
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    text += name + ": " + value + "\n";
  }
  text += "-- body " + std::to_string(req.body.size()) + "\n" + req.body + "\n";
  return text;
}

}  // namespace

Fault Fault::Status(const std::string& method, int nth, int http_status,
                    std::optional<int> result_code) {
  Fault f;
  f.method = method;
  f.nth = nth;
  f.kind = Kind::kStatus;
  f.http_status = http_status;
  f.result_code = result_code;
  return f;
}

Fault Fault::Status(const std::string& method, int nth, int http_status) {
  return Status(method, nth, http_status, http_status);
}

Fault Fault::BrokenBody(const std::string& method, int nth) {
  Fault f;
  f.method = method;
  f.nth = nth;
  f.kind = Kind::kBrokenBody;
  return f;
}

Fault Fault::Delay(const std::string& method, int nth, int delay_ms) {
  Fault f;
  f.method = method;
  f.nth = nth;
  f.kind = Kind::kDelay;
  f.delay_ms = delay_ms;
  return f;
}

Fault Fault::CutConnection(const std::string& method, int nth) {
  Fault f;
  f.method = method;
  f.nth = nth;
  f.kind = Kind::kCutConnection;
  return f;
}

Fault Fault::RewriteBody(const std::string& method, int nth,
                         std::function<std::string(const std::string&)> rewrite) {
  Fault f;
  f.method = method;
  f.nth = nth;
  f.kind = Kind::kRewriteBody;
  f.rewrite = std::move(rewrite);
  return f;
}

SyncServer::SyncServer(SyncServerOptions options) : options_(std::move(options)) {}

SyncServer::~SyncServer() { Stop(); }

bool SyncServer::running() const { return http_ && listener_.joinable(); }

std::string SyncServer::url() const {
  return "https://" + options_.host + ":" + std::to_string(port_) + "/";
}

bool SyncServer::Start(std::string* error) {
  Stop();
  service_.reset();  // releases the data file before it is opened again

  if (options_.cert_file.empty() || options_.key_file.empty()) {
    *error = "a certificate and a key are needed (HTTPS only)";
    return false;
  }
  for (const std::string* file : {&options_.cert_file, &options_.key_file}) {
    if (!Readable(*file)) {
      *error = "cannot read " + *file;
      return false;
    }
  }
  std::string why;
  std::unique_ptr<SyncState> state = SyncState::Open(options_.data_file, &why);
  if (!state) {
    *error = why;
    return false;
  }
  ServiceOptions service_options;
  service_options.interval_seconds = options_.interval_seconds;
  service_options.lock_timeout_ms = options_.lock_timeout_ms;
  service_options.record_limit = options_.record_limit;
  service_ = std::make_unique<SyncService>(std::move(state), service_options);
  {
    std::lock_guard<std::mutex> guard(record_mutex_);
    record_.reset();
    if (!options_.request_record_file.empty()) {
      record_ = std::make_unique<std::ofstream>(options_.request_record_file,
                                                std::ios::binary | std::ios::app);
      if (!*record_) {
        record_.reset();
        *error = "cannot write " + options_.request_record_file;
        return false;
      }
    }
  }

  auto http =
      std::make_unique<httplib::SSLServer>(options_.cert_file.c_str(), options_.key_file.c_str());
  if (!http->is_valid()) {
    *error = "bad certificate or key (" + options_.cert_file + ", " + options_.key_file +
             "): not PEM, or the key does not match the certificate";
    return false;
  }
  // httplib's default SO_REUSEPORT would let a second server share a busy port in silence;
  // SO_REUSEADDR alone still allows a quick restart on the same port. On Windows that option
  // means sharing itself: there a port is held exclusively, and restarts need no option.
  http->set_socket_options([](socket_t sock) {
    int yes = 1;
#if defined(_WIN32)
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
#else
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
  });
  // Answers go out in two writes; without this, Nagle and delayed ACKs add ~40 ms to each.
  http->set_tcp_nodelay(true);
  http->set_payload_max_length(kMaxBodyBytes);
  // Idle keep-alive connections hold a worker until they time out, also at Stop.
  http->set_keep_alive_timeout(2);
  http->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    Record(RecordText(req));
    ServiceRequest request{req.path, req.get_param_value("method"), req.body,
                           req.get_header_value("Authorization"),
                           req.get_header_value("Lock-Token")};
    std::string operation = Upper(request.method);
    {
      std::lock_guard<std::mutex> guard(log_mutex_);
      ++received_[operation];
    }
    FaultPlan plan = TakeFaults(operation);
    if (plan.delay_ms > 0) Wait(plan.delay_ms);

    ServiceResponse response;
    if (plan.status) {
      response.http_status = plan.status->http_status;
      if (plan.status->result_code) {
        response.body = "{\"result\":{\"code\":" + std::to_string(*plan.status->result_code) +
                        ",\"msg\":\"scripted fault\"}}";
      }
    } else {
      response = service_->Handle(request);
    }
    if (plan.rewrite) response.body = plan.rewrite(response.body);
    if (plan.broken_body) response.body.resize(response.body.size() / 2);

    res.status = response.http_status;
    if (!response.lock_token.empty()) res.set_header("Lock-Token", response.lock_token);
    if (plan.cut_connection) {
      // The provider fails after half the announced length, and httplib drops the connection.
      auto body = std::make_shared<std::string>(std::move(response.body));
      res.set_content_provider(
          body->size(), "application/json; charset=UTF-8",
          [body](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset > 0 || body->size() < 2) return false;
            sink.write(body->data(), body->size() / 2);
            return true;
          });
    } else {
      res.set_content(response.body, "application/json; charset=UTF-8");
    }

    LoggedRequest entry;
    entry.operation = operation;
    SpaceKey space;
    if (ParseSyncPath(request.path, &space, &entry.collection)) {
      entry.user = space.first;
      entry.sync_type = space.second;
    }
    entry.http_status = response.http_status;
    entry.faulted = plan.status || plan.broken_body || plan.cut_connection || plan.rewrite ||
                    plan.delay_ms > 0;
    Log(std::move(entry));
  });
  // Every request of the protocol is a POST.
  auto refuse = [](const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_content("{\"result\":{\"code\":405,\"msg\":\"only POST is served\"}}",
                    "application/json; charset=UTF-8");
  };
  http->Get(".*", refuse);
  http->Put(".*", refuse);
  http->Delete(".*", refuse);
  http->Patch(".*", refuse);

  int port = options_.port;
  if (port == 0) {
    port = http->bind_to_any_port(options_.host);
    if (port < 0) {
      *error = "cannot listen on " + options_.host + ": " + BindFailure(options_.host, 0);
      return false;
    }
  } else if (port < 0 || port > 65535 || !http->bind_to_port(options_.host, port)) {
    *error = "cannot listen on " + options_.host + ":" + std::to_string(port) + ": " +
             (port < 0 || port > 65535 ? std::string("not a port number")
                                       : BindFailure(options_.host, port));
    return false;
  }
  port_ = port;
  stopped_connections_ = ConnectionCounts();
  {
    std::lock_guard<std::mutex> guard(stop_mutex_);
    stopping_ = false;
  }
  http_ = std::move(http);
  listener_ = std::thread([this] { http_->listen_after_bind(); });
  // stop() is ignored until the accept loop runs, so do not return before it does.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!http_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SyncServer::Stop() {
  if (!http_) return;
  {
    std::lock_guard<std::mutex> guard(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  // Start returned only once the accept loop ran, so one stop() ends it.
  http_->stop();
  if (listener_.joinable()) listener_.join();
  stopped_connections_ = Connections();
  http_.reset();
}

void SyncServer::Wait(int milliseconds) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  stop_signal_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                        [this] { return stopping_; });
}

SyncServer::FaultPlan SyncServer::TakeFaults(const std::string& operation) {
  FaultPlan plan;
  std::lock_guard<std::mutex> guard(fault_mutex_);
  for (ActiveFault& active : faults_) {
    const Fault& f = active.fault;
    if (f.method != "*" && Upper(f.method) != operation) continue;
    int n = ++active.seen;
    if (n < f.nth || (f.times > 0 && n >= f.nth + f.times)) continue;
    switch (f.kind) {
      case Fault::Kind::kStatus:
        if (!plan.status) plan.status = f;
        break;
      case Fault::Kind::kBrokenBody:
        plan.broken_body = true;
        break;
      case Fault::Kind::kDelay:
        plan.delay_ms += f.delay_ms;
        break;
      case Fault::Kind::kCutConnection:
        plan.cut_connection = true;
        break;
      case Fault::Kind::kRewriteBody:
        if (!plan.rewrite) plan.rewrite = f.rewrite;
        break;
    }
  }
  return plan;
}

void SyncServer::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> guard(fault_mutex_);
  faults_.push_back(ActiveFault{fault, 0});
}

void SyncServer::ClearFaults() {
  std::lock_guard<std::mutex> guard(fault_mutex_);
  faults_.clear();
}

void SyncServer::Log(LoggedRequest entry) {
  std::lock_guard<std::mutex> guard(log_mutex_);
  ++counts_[entry.operation];
  if (log_.size() >= kMaxLoggedRequests) log_.pop_front();
  log_.push_back(std::move(entry));
}

void SyncServer::Record(const std::string& text) {
  std::lock_guard<std::mutex> guard(record_mutex_);
  if (!record_) return;
  *record_ << text;
  record_->flush();  // a reader may look at any moment, and the server may be killed
}

int SyncServer::RequestCount(const std::string& operation) const {
  std::lock_guard<std::mutex> guard(log_mutex_);
  auto it = counts_.find(Upper(operation));
  return it == counts_.end() ? 0 : it->second;
}

std::map<std::string, int> SyncServer::RequestCounts() const {
  std::lock_guard<std::mutex> guard(log_mutex_);
  return counts_;
}

ConnectionCounts SyncServer::Connections() const {
  if (!http_) return stopped_connections_;
  // OpenSSL counts every server handshake of the context, one per accepted connection.
  SSL_CTX* context = http_->ssl_context();
  ConnectionCounts counts;
  counts.accepted = SSL_CTX_sess_accept(context);
  counts.resumed = SSL_CTX_sess_hits(context);
  return counts;
}

int SyncServer::ReceivedCount(const std::string& operation) const {
  std::lock_guard<std::mutex> guard(log_mutex_);
  auto it = received_.find(Upper(operation));
  return it == received_.end() ? 0 : it->second;
}

std::vector<LoggedRequest> SyncServer::Requests() const {
  std::lock_guard<std::mutex> guard(log_mutex_);
  return std::vector<LoggedRequest>(log_.begin(), log_.end());
}

void SyncServer::ClearRequests() {
  std::lock_guard<std::mutex> guard(log_mutex_);
  log_.clear();
  counts_.clear();
  received_.clear();
}

}  // namespace quillet::syncserver
