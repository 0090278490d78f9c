// The message broker (OrvexCoreMessage's IPCMessageServer): endpoints register their
// number over the broker pipe; senders hand it a message for an endpoint number and get an
// acknowledgement once the endpoint has taken the message.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace orvex {

class IPCMessageServer {
 public:
  IPCMessageServer() = default;
  // Creates the pipe and starts the broker thread. When the pipe cannot be created (another
  // broker or a squatter holds its name) that is logged, a thread retries every second,
  // and Start returns false.
  bool Start();

 private:
  struct Endpoint;
  void AcceptLoop(HANDLE first);
  void Serve(HANDLE pipe);
  uint32_t Forward(uint32_t endpoint, const std::string& deliverFrame);

  std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<Endpoint>> endpoints_;
};

}  // namespace orvex
