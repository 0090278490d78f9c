#include "service/components/ipc/ipc_message_server.h"

#include <string>
#include <thread>

#include "service/components/ipc/ipc_wire.h"
#include "service/components/ipc/pipe_io.h"
#include "service/components/ipc/retry_create.h"
#include "service/components/logger/process_logger.h"

namespace orvex {

namespace {
constexpr DWORD kRequestTimeoutMs = 5000;  // a connected client must speak by then
constexpr DWORD kForwardTimeoutMs = 3000;
constexpr uint32_t kFirstInstanceRetryMs = 1000;
}  // namespace

struct IPCMessageServer::Endpoint {
  explicit Endpoint(HANDLE p) : pipe(p) {}
  ~Endpoint() { CloseHandle(pipe); }
  HANDLE pipe;
  std::mutex io;  // one message at a time on the endpoint's connection
};

bool IPCMessageServer::Start() {
  HANDLE first = pipe::CreateServerInstance(true);
  if (first != INVALID_HANDLE_VALUE) {
    std::thread([this, first] { AcceptLoop(first); }).detach();
    return true;
  }
  const DWORD error = GetLastError();
  ORVEX_LOG(ERROR, LOG4CPLUS_TEXT("Broker pipe not created, error ")
                       << error << LOG4CPLUS_TEXT(", retrying every ") << kFirstInstanceRetryMs
                       << LOG4CPLUS_TEXT(" ms"));
  std::thread([this] {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const uint32_t attempts = RetryCreate(
        [&pipe](uint32_t* failure) {
          pipe = pipe::CreateServerInstance(true);
          *failure = pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
          return pipe != INVALID_HANDLE_VALUE;
        },
        [](uint32_t ms) { Sleep(ms); },
        [](uint32_t attempt, uint32_t failure) {
          // One line a minute is enough to show it is still failing, and why.
          if (attempt % 60 == 0) {
            ORVEX_LOG(ERROR, LOG4CPLUS_TEXT("Broker pipe still not created, error ") << failure);
          }
        },
        kFirstInstanceRetryMs, 0);
    ORVEX_LOG(WARN, LOG4CPLUS_TEXT("Broker pipe created after ")
                        << (attempts + 1) << LOG4CPLUS_TEXT(" attempts"));
    AcceptLoop(pipe);
  }).detach();
  return false;
}

void IPCMessageServer::AcceptLoop(HANDLE pipe) {
  for (;;) {
    if (pipe::WaitForClient(pipe)) {
      std::thread([this, pipe] { Serve(pipe); }).detach();
    } else {
      CloseHandle(pipe);
    }
    do {
      pipe = pipe::CreateServerInstance(false);
      if (pipe == INVALID_HANDLE_VALUE) Sleep(100);
    } while (pipe == INVALID_HANDLE_VALUE);
  }
}

void IPCMessageServer::Serve(HANDLE pipe) {
  std::string request;
  wire::Frame frame;
  if (!pipe::ReadFrame(pipe, &request, kRequestTimeoutMs) || !wire::Decode(request, &frame)) {
    CloseHandle(pipe);
    return;
  }
  if (frame.op == wire::Op::kRegister) {
    // The connection now belongs to the endpoint; a newer registration replaces it. The
    // acknowledgement goes out before any message can be forwarded on the connection.
    auto endpoint = std::make_shared<Endpoint>(pipe);
    std::lock_guard<std::mutex> io(endpoint->io);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      endpoints_[frame.endpoint] = endpoint;
    }
    wire::Frame ack;
    ack.op = wire::Op::kAck;
    ack.status = wire::kDelivered;
    pipe::WriteFrame(pipe, wire::Encode(ack), kForwardTimeoutMs);
    return;
  }
  wire::Frame ack;
  ack.op = wire::Op::kAck;
  ack.status = wire::kEndpointFailed;
  if (frame.op == wire::Op::kSend) {
    wire::Frame deliver = frame;
    deliver.op = wire::Op::kDeliver;
    ack.status = Forward(frame.endpoint, wire::Encode(deliver));
  }
  pipe::WriteFrame(pipe, wire::Encode(ack), kForwardTimeoutMs);
  FlushFileBuffers(pipe);
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
}

uint32_t IPCMessageServer::Forward(uint32_t number, const std::string& deliverFrame) {
  std::shared_ptr<Endpoint> endpoint;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(number);
    if (found == endpoints_.end()) return wire::kNoEndpoint;
    endpoint = found->second;
  }
  std::lock_guard<std::mutex> io(endpoint->io);
  std::string reply;
  wire::Frame ack;
  if (pipe::WriteFrame(endpoint->pipe, deliverFrame, kForwardTimeoutMs) &&
      pipe::ReadFrame(endpoint->pipe, &reply, kForwardTimeoutMs) && wire::Decode(reply, &ack) &&
      ack.op == wire::Op::kAck) {
    return ack.status;
  }
  // A gone or stuck endpoint is dropped; it registers again when it comes back.
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = endpoints_.find(number);
  if (found != endpoints_.end() && found->second == endpoint) endpoints_.erase(found);
  return wire::kEndpointFailed;
}

}  // namespace orvex
