#include "service/components/ipc/ipc_wire.h"

namespace orvex {
namespace wire {
namespace {

constexpr size_t kHeaderBytes = 12;           // op, endpoint, status
constexpr size_t kItemBytes = 7 * 4 + 8 + 1;  // TagIPCMessageItem's fields

void Put32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}
void Put64(std::string& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out, static_cast<uint32_t>(value >> 32));
}
uint32_t Get32(const std::string& in, size_t& at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t(static_cast<uint8_t>(in[at + i])) << (8 * i);
  at += 4;
  return value;
}

bool HasItem(Op op) { return op == Op::kSend || op == Op::kDeliver; }

}  // namespace

std::string Encode(const Frame& frame) {
  std::string out;
  Put32(out, static_cast<uint32_t>(frame.op));
  Put32(out, frame.endpoint);
  Put32(out, frame.status);
  if (HasItem(frame.op)) {
    const TagIPCMessageItem& item = frame.item;
    Put32(out, item.msgClass);
    Put32(out, item.destination);
    Put32(out, item.command);
    Put32(out, item.param);
    Put32(out, static_cast<uint32_t>(item.sequence));
    Put32(out, item.reserved1);
    Put32(out, item.reserved2);
    Put64(out, item.data);
    out += static_cast<char>(item.needReply ? 1 : 0);
  }
  return out;
}

bool Decode(const std::string& bytes, Frame* frame) {
  if (bytes.size() < kHeaderBytes) return false;
  size_t at = 0;
  const uint32_t op = Get32(bytes, at);
  if (op < 1 || op > 4) return false;
  Frame out;
  out.op = static_cast<Op>(op);
  out.endpoint = Get32(bytes, at);
  out.status = Get32(bytes, at);
  if (bytes.size() != kHeaderBytes + (HasItem(out.op) ? kItemBytes : 0)) return false;
  if (HasItem(out.op)) {
    TagIPCMessageItem& item = out.item;
    item.msgClass = Get32(bytes, at);
    item.destination = Get32(bytes, at);
    item.command = Get32(bytes, at);
    item.param = Get32(bytes, at);
    item.sequence = static_cast<int32_t>(Get32(bytes, at));
    item.reserved1 = Get32(bytes, at);
    item.reserved2 = Get32(bytes, at);
    const uint64_t low = Get32(bytes, at);
    item.data = low | (uint64_t(Get32(bytes, at)) << 32);
    const uint8_t flag = static_cast<uint8_t>(bytes[at]);
    if (flag > 1) return false;
    item.needReply = flag == 1;
  }
  *frame = out;
  return true;
}

}  // namespace wire
}  // namespace orvex
