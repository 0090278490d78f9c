// Byte layout of the broker's frames. Every frame read from a pipe is untrusted: decoding
// checks sizes and kinds and never reads past the frame.
#pragma once

#include <cstdint>
#include <string>

#include "service/components/ipc/ipc_message.h"

namespace orvex {
namespace wire {

constexpr uint32_t kMaxFrameBytes = 4096;

enum class Op : uint32_t { kRegister = 1, kSend = 2, kDeliver = 3, kAck = 4 };

enum AckStatus : uint32_t { kDelivered = 0, kNoEndpoint = 1, kEndpointFailed = 2 };

struct Frame {
  Op op = Op::kAck;
  uint32_t endpoint = 0;   // kRegister, kSend: the endpoint number
  uint32_t status = 0;     // kAck
  TagIPCMessageItem item;  // kSend, kDeliver
};

std::string Encode(const Frame& frame);
// False for anything that is not exactly one well-formed frame.
bool Decode(const std::string& bytes, Frame* frame);

}  // namespace wire
}  // namespace orvex
