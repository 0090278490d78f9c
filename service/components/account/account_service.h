// Stand-in for the account plugin's AccountService: BeginWork leaves a worker that
// registers the account endpoint with the message broker and records every logout it
// receives, in memory and as a line in "AccountService.log" beside the executable.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "service/components/ipc/ipc_message.h"
#include "service/platform/service_platform.h"

namespace orvex {

class AccountService : public AccountServiceApi {
 public:
  AccountService();
  bool Init() override;
  bool InitSession() override;
  bool BeginWork() override;  // returns at once; the work goes on in the background

  // True once the endpoint is registered with the broker, waiting up to timeoutMs.
  bool WaitRegistered(DWORD timeoutMs) const;
  std::vector<TagIPCMessageItem> Logouts() const;

  struct State;  // what the worker thread shares with the object

 private:
  std::shared_ptr<State> state_;  // shared with the worker, which may outlive this object
};

}  // namespace orvex
