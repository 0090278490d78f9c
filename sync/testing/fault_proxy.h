// A TCP proxy with faults for tests of the transport on a bad network: it listens on
// 127.0.0.1 and passes every connection, byte for byte, to a port on 127.0.0.1 (TLS passes
// through untouched, so a fault lands at any byte). The library is pointed at url() instead
// of the server's address; the server's certificate names 127.0.0.1 either way.
//
// Faults act on every connection, open ones included, from the moment they are set:
//   Stall(true)               nothing moves either way until Stall(false)
//   Trickle(n)                server-to-client bytes move at n a second (0: full speed)
//   CutAfter(direction, k)    the first connection to pass k more bytes that way is reset
//   DropAnswerAfter(k)        the first connection to pass k more bytes towards the server
//                             loses what the server sends next: the request reached the
//                             server whole, the client gets no answer byte, and the
//                             connection is reset a moment later
// The one-shot faults (CutAfter, DropAnswerAfter) count bytes from the moment they are set
// and disarm once they have acted; Fired() counts how often one acted. Thread-safe; Stop
// (or destruction) closes every connection and waits for their threads. Tests only.
#ifndef QUILLET_SYNC_TESTING_FAULT_PROXY_H_
#define QUILLET_SYNC_TESTING_FAULT_PROXY_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quillet {
namespace testing {

class FaultProxy {
 public:
  enum class Direction { kToServer, kToClient };

  explicit FaultProxy(int serverPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  bool Start(std::string* error);
  void Stop();

  int port() const { return port_; }
  // "https://127.0.0.1:PORT/"
  std::string url() const;

  void Stall(bool on);
  void Trickle(int bytesPerSecond);
  void CutAfter(Direction direction, int64_t bytes);
  void DropAnswerAfter(int64_t bytesToServer);
  // Back to passing everything; disarms the one-shot faults.
  void Pass();

  int Fired() const { return fired_.load(); }
  int Connections() const { return connections_.load(); }

 private:
  struct Link;

  void AcceptLoop();
  void Serve(std::shared_ptr<Link> link);
  void Forward(const std::shared_ptr<Link>& link, Direction direction);
  // Decides what becomes of n bytes that arrived in direction: how many to pass now (the
  // rest stays for later), or -1 to drop them and reset the link.
  int64_t Admit(Link& link, Direction direction, int64_t n);

  const int serverPort_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> fired_{0};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  uintptr_t listener_ = 0;
  bool listening_ = false;

  mutable std::mutex mutex_;  // guards everything below and every Link's counters
  std::condition_variable changed_;
  bool stalled_ = false;
  int tricklePerSecond_ = 0;
  uint64_t epoch_ = 0;  // bumped whenever a one-shot fault is set
  bool cutArmed_ = false;
  Direction cutDirection_ = Direction::kToServer;
  int64_t cutBytes_ = 0;
  bool dropArmed_ = false;
  int64_t dropAfter_ = 0;
  std::list<std::shared_ptr<Link>> links_;
  std::list<std::thread> threads_;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_FAULT_PROXY_H_
