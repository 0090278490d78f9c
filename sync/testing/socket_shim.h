// The few socket calls the test servers make, the same on POSIX and on Windows (winsock2):
// a socket type, start-up, close, shutdown, waiting for input, socket options. Tests only.
#ifndef QUILLET_SYNC_TESTING_SOCKET_SHIM_H_
#define QUILLET_SYNC_TESTING_SOCKET_SHIM_H_

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quillet {
namespace testing {
namespace sockets {

#if defined(_WIN32)
using Socket = SOCKET;
using Length = int;
constexpr Socket kInvalid = INVALID_SOCKET;

// Winsock needs WSAStartup before the first call; once per process is enough (never undone:
// libcurl and other threads may still use sockets while the process ends).
inline bool Start() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
inline void Close(Socket s) { closesocket(s); }
inline void ShutdownBoth(Socket s) { shutdown(s, SD_BOTH); }
// Windows reports a peer's hang-up as an error of the write, never as a signal.
inline void IgnoreBrokenPipes() {}

// Whether input (or a new connection) arrives within timeoutMs: > 0 yes, 0 no, < 0 error.
inline int WaitReadable(Socket s, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &limit);
}
#else
using Socket = int;
using Length = socklen_t;
constexpr Socket kInvalid = -1;

inline bool Start() { return true; }
inline void Close(Socket s) { close(s); }
inline void ShutdownBoth(Socket s) { shutdown(s, SHUT_RDWR); }
// A client that hangs up while we answer must not kill the test process.
inline void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

inline int WaitReadable(Socket s, int timeoutMs) {
  pollfd waiting = {s, POLLIN, 0};
  return poll(&waiting, 1, timeoutMs);
}
#endif

inline bool Valid(Socket s) { return s != kInvalid; }

// An int option set to 1 (SO_REUSEADDR, TCP_NODELAY); Windows takes the value as char*.
inline int EnableOption(Socket s, int level, int name) {
  const int one = 1;
  return setsockopt(s, level, name, reinterpret_cast<const char*>(&one), sizeof(one));
}

// OpenSSL keeps sockets as int on both platforms (SSL_set_fd, SSL_get_fd); a Windows SOCKET
// is a kernel handle value that fits in one.
inline int ToSslFd(Socket s) { return static_cast<int>(s); }
inline Socket FromSslFd(int fd) { return static_cast<Socket>(fd); }

// A listening or bound socket on 127.0.0.1 with an ephemeral port (or the given one).
// Returns kInvalid on failure; *port is set to the port bound.
inline Socket BindLoopback(int* port, bool listening) {
  if (!Start()) return kInvalid;
  const Socket s = socket(AF_INET, SOCK_STREAM, 0);
  if (!Valid(s)) return kInvalid;
#if !defined(_WIN32)
  // A quick restart on the same port; on Windows the option would let others share it.
  if (listening) EnableOption(s, SOL_SOCKET, SO_REUSEADDR);
#endif
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(*port));
  Length length = sizeof(address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      (listening && listen(s, 64) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Close(s);
    return kInvalid;
  }
  *port = ntohs(address.sin_port);
  return s;
}

}  // namespace sockets
}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_SOCKET_SHIM_H_
