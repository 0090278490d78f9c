#include "sync/testing/fault_proxy.h"

#include <chrono>

#include "sync/testing/socket_shim.h"

namespace quillet {
namespace testing {

namespace s = sockets;
using Clock = std::chrono::steady_clock;

struct FaultProxy::Link {
  s::Socket client = s::kInvalid;
  s::Socket server = s::kInvalid;
  std::atomic<bool> dead{false};
  // Guarded by the proxy's mutex.
  int64_t total[2] = {0, 0};
  int64_t base[2] = {0, 0};  // totals when the current one-shot faults were set
  uint64_t seenEpoch = 0;
  bool dropping = false;  // what the server sends is thrown away
  Clock::time_point dropSince;
};

namespace {

constexpr int kPollMs = 20;
// How long a connection that lost its answer stays open: long enough for the rest of the
// request to reach the server and be served, short against any client time-out.
constexpr auto kDropGrace = std::chrono::milliseconds(300);

int Index(FaultProxy::Direction direction) {
  return direction == FaultProxy::Direction::kToServer ? 0 : 1;
}

// The close that follows sends a reset rather than an orderly end, as a dying route or a
// middlebox does.
void Reset(s::Socket socket) {
  linger hard = {};
  hard.l_onoff = 1;
  hard.l_linger = 0;
  setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
}

bool SendAll(s::Socket socket, const char* data, int64_t size) {
  while (size > 0) {
    const int sent = static_cast<int>(send(socket, data, static_cast<int>(size), 0));
    if (sent <= 0) return false;
    data += sent;
    size -= sent;
  }
  return true;
}

s::Socket ConnectLoopback(int port) {
  const s::Socket socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (!s::Valid(socket)) return s::kInvalid;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(port));
  if (connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    s::Close(socket);
    return s::kInvalid;
  }
  s::EnableOption(socket, IPPROTO_TCP, TCP_NODELAY);
  return socket;
}

}  // namespace

FaultProxy::FaultProxy(int serverPort) : serverPort_(serverPort) {}

FaultProxy::~FaultProxy() { Stop(); }

bool FaultProxy::Start(std::string* error) {
  s::IgnoreBrokenPipes();
  int port = 0;
  const s::Socket listener = s::BindLoopback(&port, true);
  if (!s::Valid(listener)) {
    if (error) *error = "the fault proxy cannot listen on 127.0.0.1";
    return false;
  }
  listener_ = static_cast<uintptr_t>(listener);
  listening_ = true;
  port_ = port;
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FaultProxy::Stop() {
  if (!listening_) return;
  stopping_ = true;
  changed_.notify_all();
  if (acceptor_.joinable()) acceptor_.join();
  s::Close(static_cast<s::Socket>(listener_));
  listening_ = false;
  std::list<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_) {
      link->dead = true;
      s::ShutdownBoth(link->client);
      if (s::Valid(link->server)) s::ShutdownBoth(link->server);
    }
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) thread.join();
  std::lock_guard<std::mutex> lock(mutex_);
  links_.clear();
}

std::string FaultProxy::url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

void FaultProxy::Stall(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_ = on;
  changed_.notify_all();
}

void FaultProxy::Trickle(int bytesPerSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  tricklePerSecond_ = bytesPerSecond < 0 ? 0 : bytesPerSecond;
}

void FaultProxy::CutAfter(Direction direction, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++epoch_;
  cutArmed_ = true;
  cutDirection_ = direction;
  cutBytes_ = bytes;
}

void FaultProxy::DropAnswerAfter(int64_t bytesToServer) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++epoch_;
  dropArmed_ = true;
  dropAfter_ = bytesToServer;
}

void FaultProxy::Pass() {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_ = false;
  tricklePerSecond_ = 0;
  cutArmed_ = false;
  dropArmed_ = false;
  changed_.notify_all();
}

void FaultProxy::AcceptLoop() {
  const s::Socket listener = static_cast<s::Socket>(listener_);
  while (!stopping_) {
    if (s::WaitReadable(listener, kPollMs) <= 0) continue;
    const s::Socket client = accept(listener, nullptr, nullptr);
    if (!s::Valid(client)) continue;
    s::EnableOption(client, IPPROTO_TCP, TCP_NODELAY);
    ++connections_;
    auto link = std::make_shared<Link>();
    link->client = client;
    std::lock_guard<std::mutex> lock(mutex_);
    link->seenEpoch = epoch_;  // a new connection counts every byte it carries
    links_.push_back(link);
    threads_.emplace_back([this, link] { Serve(link); });
  }
}

void FaultProxy::Serve(std::shared_ptr<Link> link) {
  const s::Socket server = ConnectLoopback(serverPort_);
  {
    std::lock_guard<std::mutex> lock(mutex_);  // Stop reads it
    link->server = server;
  }
  if (s::Valid(server)) {
    std::thread toServer([this, link] { Forward(link, Direction::kToServer); });
    Forward(link, Direction::kToClient);
    toServer.join();
    s::Close(link->server);
  }
  s::Close(link->client);
  std::lock_guard<std::mutex> lock(mutex_);
  link->dead = true;
  links_.remove(link);
}

int64_t FaultProxy::Admit(Link& link, Direction direction, int64_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (link.seenEpoch != epoch_) {
    link.base[0] = link.total[0];
    link.base[1] = link.total[1];
    link.seenEpoch = epoch_;
  }
  const int d = Index(direction);
  if (direction == Direction::kToClient) {
    if (link.dropping) return 0;
    if (dropArmed_ && link.total[0] - link.base[0] >= dropAfter_) {
      dropArmed_ = false;
      link.dropping = true;
      link.dropSince = Clock::now();
      ++fired_;
      return 0;
    }
  }
  if (cutArmed_ && direction == cutDirection_ && link.total[d] - link.base[d] + n >= cutBytes_) {
    cutArmed_ = false;
    ++fired_;
    const int64_t pass = cutBytes_ - (link.total[d] - link.base[d]);
    link.total[d] += pass;
    return -1 - pass;  // pass these, then reset
  }
  link.total[d] += n;
  return n;
}

void FaultProxy::Forward(const std::shared_ptr<Link>& link, Direction direction) {
  const s::Socket from = direction == Direction::kToServer ? link->client : link->server;
  const s::Socket to = direction == Direction::kToServer ? link->server : link->client;
  char buffer[16384];
  while (!stopping_ && !link->dead) {
    int trickle = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stalled_) {
        changed_.wait_for(lock, std::chrono::milliseconds(kPollMs));
        continue;
      }
      if (link->dropping && Clock::now() - link->dropSince > kDropGrace) {
        link->dead = true;
        lock.unlock();
        Reset(link->client);
        Reset(link->server);
        break;
      }
    }
    const int ready = s::WaitReadable(from, kPollMs);
    if (ready == 0) continue;
    {
      // Read after the wait: a fault set while it waited applies to what woke it.
      std::lock_guard<std::mutex> lock(mutex_);
      if (stalled_) continue;
      if (direction == Direction::kToClient) trickle = tricklePerSecond_;
    }
    const int want = trickle > 0 ? 1 : static_cast<int>(sizeof(buffer));
    const int got = ready < 0 ? -1 : static_cast<int>(recv(from, buffer, want, 0));
    if (got <= 0) {
      // One side ended: so does the other, after what was passed on.
      link->dead = true;
      s::ShutdownBoth(to);
      s::ShutdownBoth(from);
      break;
    }
    const int64_t admitted = Admit(*link, direction, got);
    const int64_t pass = admitted < 0 ? -1 - admitted : admitted;
    if (pass > 0 && !SendAll(to, buffer, pass)) {
      link->dead = true;
      break;
    }
    if (admitted < 0) {
      link->dead = true;
      Reset(link->client);
      Reset(link->server);
      break;
    }
    if (trickle > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1000 / trickle));
  }
}

}  // namespace testing
}  // namespace quillet
