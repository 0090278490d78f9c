#include "service/components/ipc/ipc_message_client.h"

#include <cstring>
#include <string>

#include "service/components/ipc/ipc_wire.h"
#include "service/components/ipc/pipe_io.h"

namespace orvex {

bool IPCMessageClient::SendIPCMessage(const TagIPCMessageItem& item, int /*flags*/,
                                      TagIPCMessageItemRecv& reply, uint32_t timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  HANDLE pipe = pipe::Connect(timeoutMs);
  if (pipe == INVALID_HANDLE_VALUE) return false;
  wire::Frame request;
  request.op = wire::Op::kSend;
  request.endpoint = endpoint_;
  request.item = item;
  std::string answer;
  wire::Frame ack;
  const bool answered = pipe::WriteFrame(pipe, wire::Encode(request), pipe::Remaining(deadline)) &&
                        pipe::ReadFrame(pipe, &answer, pipe::Remaining(deadline)) &&
                        wire::Decode(answer, &ack) && ack.op == wire::Op::kAck;
  CloseHandle(pipe);
  if (!answered) return false;
  std::memset(reply.token, 0, sizeof(reply.token));
  reply.status = ack.status == wire::kDelivered ? 0 : -1;
  reply.code = static_cast<int32_t>(ack.status);
  reply.text.clear();
  return ack.status == wire::kDelivered;
}

IPCMessageReceiver::~IPCMessageReceiver() {
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
}

bool IPCMessageReceiver::Register(uint32_t endpoint, DWORD timeoutMs) {
  if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  pipe_ = pipe::Connect(timeoutMs);
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  wire::Frame frame;
  frame.op = wire::Op::kRegister;
  frame.endpoint = endpoint;
  std::string answer;
  wire::Frame ack;
  return pipe::WriteFrame(pipe_, wire::Encode(frame), timeoutMs) &&
         pipe::ReadFrame(pipe_, &answer, timeoutMs) && wire::Decode(answer, &ack) &&
         ack.op == wire::Op::kAck && ack.status == wire::kDelivered;
}

bool IPCMessageReceiver::Receive(TagIPCMessageItem* item) {
  std::string bytes;
  wire::Frame frame;
  if (!pipe::ReadFrame(pipe_, &bytes, INFINITE) || !wire::Decode(bytes, &frame) ||
      frame.op != wire::Op::kDeliver) {
    return false;
  }
  *item = frame.item;
  return true;
}

bool IPCMessageReceiver::Acknowledge(uint32_t status) {
  wire::Frame ack;
  ack.op = wire::Op::kAck;
  ack.status = status;
  return pipe::WriteFrame(pipe_, wire::Encode(ack), 3000);
}

}  // namespace orvex
