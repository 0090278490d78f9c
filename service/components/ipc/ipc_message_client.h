// Client side of the message broker (OrvexCoreMessage's IPCMessageClient), and the
// receiving side with which an endpoint registers its number.
#pragma once

#include <windows.h>

#include <cstdint>

#include "service/components/ipc/ipc_message.h"
#include "service/platform/service_platform.h"

namespace orvex {

class IPCMessageClient : public IpcClientApi {
 public:
  // `endpoint` is the number messages go to; the two flags are kept for callers that
  // pass them and do not change delivery here.
  IPCMessageClient(uint32_t endpoint, bool sync, bool broadcast)
      : endpoint_(endpoint), sync_(sync), broadcast_(broadcast) {}

  // True once the endpoint has taken the item, within timeoutMs; false otherwise.
  bool SendIPCMessage(const TagIPCMessageItem& item, int flags, TagIPCMessageItemRecv& reply,
                      uint32_t timeoutMs) override;

 private:
  uint32_t endpoint_;
  bool sync_;
  bool broadcast_;
};

class IPCMessageReceiver {
 public:
  IPCMessageReceiver() = default;
  ~IPCMessageReceiver();
  IPCMessageReceiver(const IPCMessageReceiver&) = delete;
  IPCMessageReceiver& operator=(const IPCMessageReceiver&) = delete;

  bool Register(uint32_t endpoint, DWORD timeoutMs);
  // Waits for the next message; false when the broker connection is gone.
  bool Receive(TagIPCMessageItem* item);
  bool Acknowledge(uint32_t status);

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

}  // namespace orvex
