#include "sync/session/session_registry.h"

#include <utility>

#include "sync/common/active_adapter.h"
#include "sync/common/host_call_scope.h"
#include "sync/log/logger.h"

namespace quillet {
namespace {

void LogRefusal(const std::string& text) {
  if (!text.empty()) LogError(Utf8ToWide(text));
}

}  // namespace

SessionRegistry& SessionRegistry::Instance() {
  static SessionRegistry registry;
  return registry;
}

SessionRegistry::SyncCall::SyncCall(SyncCall&& other) noexcept
    : registry_(other.registry_), session_(other.session_) {
  other.registry_ = nullptr;
  other.session_ = nullptr;
}

SessionRegistry::SyncCall::~SyncCall() { Leave(); }

bool SessionRegistry::SyncCall::Leave() {
  if (!registry_) return false;
  SessionRegistry* registry = registry_;
  registry_ = nullptr;
  session_ = nullptr;
  return registry->Leave();
}

std::string SessionRegistry::RefusalLocked(const char* callName) const {
  const std::string call(callName);
  if (running_) {
    return call + " refused: another sync call is running (" + running_ + ")";
  }
  // With nothing running, a callback can only be the keep-alive thread's token request:
  // the round it belongs to is still open and its timer is this very thread.
  if (InsideHostCallback()) return call + " refused: called from inside a host callback";
  if (uninitWaiting_ > 0) return call + " refused: UninitCloudSync is tearing the sessions down";
  return std::string();
}

SessionRegistry::SyncCall SessionRegistry::EnterSyncCall(const char* callName,
                                                         const WString& syncType) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::string refusal = RefusalLocked(callName);
  if (!refusal.empty()) {
    lock.unlock();
    LogRefusal(refusal);
    return SyncCall(nullptr, nullptr);
  }
  running_ = callName;
  // An UninitCloudSync from the keep-alive thread's callback left its teardown to us.
  if (teardownPending_) DestroySessions(lock);
  const auto it = sessions_.find(syncType);
  return SyncCall(this, it == sessions_.end() ? nullptr : it->second.get());
}

bool SessionRegistry::Leave() {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool tornDown = teardownPending_;
  if (tornDown) DestroySessions(lock);
  running_ = nullptr;
  lock.unlock();
  slotFreed_.notify_all();
  return tornDown;
}

void SessionRegistry::DestroySessions(std::unique_lock<std::mutex>& lock) {
  teardownPending_ = false;
  SessionMap doomed;
  doomed.swap(sessions_);
  lock.unlock();
  // Destroying a session stops its keep-alive timer, which may wait for a running tick.
  doomed.clear();
  lock.lock();
}

SessionRegistry::InitOutcome SessionRegistry::Register(NetConfig config, AdapterRef adapter) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::string refusal = RefusalLocked("InitCloudSync");
  if (!refusal.empty()) {
    lock.unlock();
    LogRefusal(refusal);
    return InitOutcome::kRefused;
  }
  if (teardownPending_) {
    running_ = "InitCloudSync";
    DestroySessions(lock);
    running_ = nullptr;
  }
  if (sessions_.count(config.SyncType) != 0) return InitOutcome::kAlreadyRegistered;
  SetActiveAdapter(std::move(adapter));
  const WString key = config.SyncType;
  sessions_[key] = std::make_unique<SyncSession>(std::move(config), ServicesForNewSession());
  return InitOutcome::kRegistered;
}

void SessionRegistry::TearDown() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (auto& entry : sessions_) entry.second->RequestStop();
  if (InsideHostCallback()) {
    // The running call (or the keep-alive tick) is below us on this thread's stack.
    teardownPending_ = true;
    lock.unlock();
    LogError(
        u"UninitCloudSync called from inside a host callback: the sync calls stop and "
        u"the sessions are destroyed when the running call returns");
    return;
  }
  ++uninitWaiting_;
  slotFreed_.wait(lock, [this] { return running_ == nullptr; });
  --uninitWaiting_;
  running_ = "UninitCloudSync";
  DestroySessions(lock);
  running_ = nullptr;
  lock.unlock();
  slotFreed_.notify_all();
}

void SessionRegistry::RequestStop(const WString& syncType) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(syncType);
  if (it != sessions_.end()) it->second->RequestStop();
}

namespace {

std::function<SessionServices()>& ServicesFactory() {
  static std::function<SessionServices()> factory;
  return factory;
}

}  // namespace

void SetSessionServicesFactory(std::function<SessionServices()> factory) {
  ServicesFactory() = std::move(factory);
}

SessionServices ServicesForNewSession() {
  return ServicesFactory() ? ServicesFactory()() : SessionServices::Default();
}

}  // namespace quillet
