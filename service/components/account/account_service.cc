#include "service/components/account/account_service.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "service/components/ipc/ipc_message_client.h"
#include "service/components/ipc/ipc_wire.h"
#include "service/components/logger/process_logger.h"

namespace orvex {

struct AccountService::State {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool registered = false;
  bool working = false;
  std::vector<TagIPCMessageItem> logouts;
  std::wstring recordPath;
};

namespace {

void Record(const std::wstring& path, const TagIPCMessageItem& item) {
  FILE* file = _wfopen(path.c_str(), L"a");
  if (file == nullptr) return;
  std::fprintf(file, "logout class=0x%x destination=0x%x command=0x%x sequence=%d\n", item.msgClass,
               item.destination, item.command, item.sequence);
  std::fclose(file);
}

void Work(std::shared_ptr<AccountService::State> state);

}  // namespace

AccountService::AccountService() : state_(std::make_shared<State>()) {}

bool AccountService::Init() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->recordPath = ExecutableDirectory() + L"AccountService.log";
  return true;
}

bool AccountService::InitSession() { return true; }

bool AccountService::BeginWork() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->working) return true;
    state_->working = true;
  }
  std::thread(Work, state_).detach();
  return true;
}

bool AccountService::WaitRegistered(DWORD timeoutMs) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return state_->registered; });
}

std::vector<TagIPCMessageItem> AccountService::Logouts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->logouts;
}

namespace {

void Work(std::shared_ptr<AccountService::State> state) {
  for (;;) {
    IPCMessageReceiver receiver;
    if (!receiver.Register(kAccountServiceEndpoint, 3000)) {
      Sleep(200);  // the broker may not be up yet
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->registered = true;
    }
    state->changed.notify_all();
    TagIPCMessageItem item;
    while (receiver.Receive(&item)) {
      if (item.command == kLogoutCommand) {
        std::wstring path;
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          state->logouts.push_back(item);
          path = state->recordPath;
        }
        if (!path.empty()) Record(path, item);
      }
      receiver.Acknowledge(wire::kDelivered);
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->registered = false;
  }
}

}  // namespace
}  // namespace orvex
