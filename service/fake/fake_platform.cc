#include "service/fake/fake_platform.h"

#include <sstream>

namespace orvex {
namespace fake {
namespace {

constexpr uint32_t kServiceStart = 0x10;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kEntryBytes = 64;  // room the fake asks for per dependent

std::string Hex(uint32_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << value;
  return out.str();
}

class FakeAccountService : public AccountServiceApi {
 public:
  explicit FakeAccountService(std::vector<std::string>& calls) : calls_(calls) {}
  bool Init() override { return Record("Init"); }
  bool InitSession() override { return Record("InitSession"); }
  bool BeginWork() override { return Record("BeginWork"); }

 private:
  bool Record(const char* name) {
    calls_.push_back(name);
    return true;
  }
  std::vector<std::string>& calls_;
};

class FakeIpcClient : public IpcClientApi {
 public:
  FakeIpcClient(FakePlatform& platform, uint32_t endpoint, bool sync, bool broadcast)
      : platform_(platform), endpoint_(endpoint), sync_(sync), broadcast_(broadcast) {}
  bool SendIPCMessage(const TagIPCMessageItem& item, int flags, TagIPCMessageItemRecv& reply,
                      uint32_t timeoutMs) override {
    platform_.sent.push_back(
        SentMessage{endpoint_, sync_, broadcast_, item, flags, reply, timeoutMs});
    return platform_.sendResult;
  }

 private:
  FakePlatform& platform_;
  uint32_t endpoint_;
  bool sync_;
  bool broadcast_;
};

}  // namespace

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

FakePlatform::FakePlatform() = default;

FakeService& FakePlatform::Install(const std::u16string& name, Step current) {
  FakeService& service = services[name];
  service.config.serviceName = name;
  service.current = current;
  service.stoppedAt = now;
  return service;
}

void FakePlatform::SetState(FakeService& service, const Step& step) {
  if (step.state == win::kServiceStopped && service.current.state != win::kServiceStopped) {
    service.stoppedAt = now;
  }
  service.current = step;
}

void FakePlatform::ReapDeleted() {
  for (auto s = services.begin(); s != services.end();) {
    const FakeService& service = s->second;
    bool held = service.current.state != win::kServiceStopped ||
                now - service.stoppedAt < service.processExitDelayMs;
    for (const auto& h : handles_) held = held || (!h.second.manager && h.second.service == s->first);
    if (service.markedForDelete && !held) {
      s = services.erase(s);
    } else {
      ++s;
    }
  }
}

void FakePlatform::RunThreads() {
  std::vector<ThreadFn> pending;
  pending.swap(threads);
  for (ThreadFn& fn : pending) fn();
}

size_t FakePlatform::CountCalls(const std::string& prefix) const {
  size_t count = 0;
  for (const std::string& call : calls) count += call.compare(0, prefix.size(), prefix) == 0;
  return count;
}

bool FakePlatform::Fail(uint32_t error) {
  lastError_ = error;
  return false;
}

Handle FakePlatform::NewHandle(HandleInfo info) {
  const Handle handle = nextHandle_++;
  handles_[handle] = std::move(info);
  return handle;
}

FakeService* FakePlatform::ServiceOf(Handle handle, const char* call) {
  auto h = handles_.find(handle);
  if (h == handles_.end() || h->second.manager) {
    Fail(kErrorInvalidHandle);
    return nullptr;
  }
  auto s = services.find(h->second.service);
  if (s == services.end()) {
    Fail(kErrorServiceDoesNotExist);
    return nullptr;
  }
  if (s->second.failing.count(call)) {
    Fail(kErrorGenFailure);
    return nullptr;
  }
  return &s->second;
}

Handle FakePlatform::OpenSCManager(uint32_t access) {
  calls.push_back("OpenSCManager " + Hex(access));
  if (failOpenSCManager) return Fail(win::kErrorAccessDenied), 0;
  return NewHandle(HandleInfo{true, u"", access});
}

Handle FakePlatform::CreateService(Handle manager, const ServiceConfig& config) {
  calls.push_back("CreateService " + Narrow(config.serviceName));
  if (!handles_.count(manager)) return Fail(kErrorInvalidHandle), 0;
  if (!createErrors.empty()) {
    const uint32_t error = createErrors.front();
    createErrors.pop_front();
    if (error != 0) return Fail(error), 0;
  }
  ReapDeleted();
  auto existing = services.find(config.serviceName);
  if (existing != services.end()) {
    return Fail(existing->second.markedForDelete ? win::kErrorServiceMarkedForDelete
                                                 : win::kErrorServiceExists),
           0;
  }
  FakeService& service = services[config.serviceName];
  service.config = config;
  return NewHandle(HandleInfo{false, config.serviceName, config.desiredAccess});
}

Handle FakePlatform::OpenService(Handle manager, const std::u16string& name, uint32_t access) {
  calls.push_back("OpenService " + Narrow(name) + " " + Hex(access));
  if (!handles_.count(manager)) return Fail(kErrorInvalidHandle), 0;
  auto s = services.find(name);
  if (s == services.end()) return Fail(kErrorServiceDoesNotExist), 0;
  if (s->second.failing.count("open")) return Fail(win::kErrorAccessDenied), 0;
  return NewHandle(HandleInfo{false, name, access});
}

bool FakePlatform::StartService(Handle service) {
  calls.push_back("StartService");
  if (handles_.count(service) && !(handles_[service].access & kServiceStart)) {
    return Fail(win::kErrorAccessDenied);
  }
  FakeService* s = ServiceOf(service, "start");
  if (s == nullptr) return false;
  if (s->markedForDelete) return Fail(win::kErrorServiceMarkedForDelete);
  SetState(*s, s->afterStart);
  return true;
}

bool FakePlatform::ControlService(Handle service, uint32_t control, ServiceStatus* status) {
  FakeService* s = ServiceOf(service, "control");
  calls.push_back("ControlService " + std::to_string(control) +
                  (s ? " " + Narrow(s->config.serviceName) : ""));
  if (s == nullptr) return false;
  if (!(handles_[service].access & win::kServiceStop)) return Fail(win::kErrorAccessDenied);
  if (control == win::kControlStop) {
    // Windows refuses to stop a service while a service that depends on it is active.
    for (const std::u16string& name : s->dependents) {
      auto d = services.find(name);
      if (d != services.end() && d->second.current.state != win::kServiceStopped) {
        return Fail(win::kErrorDependentServicesRunning);
      }
    }
    SetState(*s, s->afterStop);
  }
  *status = ServiceStatus();
  status->currentState = s->current.state;
  status->checkPoint = s->current.checkPoint;
  status->waitHint = s->current.waitHint;
  return true;
}

bool FakePlatform::QueryServiceStatusEx(Handle service, ServiceStatusProcess* status) {
  calls.push_back("Query");
  now += queryCostMs;
  FakeService* s = ServiceOf(service, "query");
  if (s == nullptr) return false;
  if (!(handles_[service].access & win::kServiceQueryStatus)) return Fail(win::kErrorAccessDenied);
  if (!s->script.empty()) {
    SetState(*s, s->script.front());
    s->script.pop_front();
  }
  *status = ServiceStatusProcess();
  status->serviceType = win::kServiceWin32OwnProcess;
  status->currentState = s->current.state;
  status->checkPoint = s->current.checkPoint;
  status->waitHint = s->current.waitHint;
  return true;
}

bool FakePlatform::EnumDependentServices(Handle service, uint32_t state,
                                         std::vector<uint8_t>& buffer, uint32_t* bytesNeeded,
                                         std::vector<DependentService>* dependents) {
  calls.push_back("EnumDependentServices " + std::to_string(buffer.size()));
  FakeService* s = ServiceOf(service, "enum");
  if (s == nullptr) return false;
  if (!(handles_[service].access & win::kServiceEnumerateDependents) ||
      state != win::kServiceActive)
    return Fail(win::kErrorAccessDenied);
  if (failEnum) return Fail(kErrorGenFailure);
  std::vector<DependentService> active;
  for (const std::u16string& name : s->dependents) {
    auto d = services.find(name);
    if (d != services.end() && d->second.current.state != win::kServiceStopped) {
      DependentService entry;
      entry.serviceName = name;
      entry.displayName = name;
      entry.status.currentState = d->second.current.state;
      active.push_back(entry);
    }
  }
  const uint32_t needed = static_cast<uint32_t>(active.size()) * kEntryBytes;
  if (buffer.size() < needed) {
    *bytesNeeded = needed;
    return Fail(win::kErrorMoreData);
  }
  *dependents = active;
  return true;
}

bool FakePlatform::DeleteService(Handle service) {
  calls.push_back("DeleteService");
  FakeService* s = ServiceOf(service, "delete");
  if (s == nullptr) return false;
  if (!(handles_[service].access & win::kDelete)) return Fail(win::kErrorAccessDenied);
  if (s->markedForDelete) return Fail(win::kErrorServiceMarkedForDelete);
  s->markedForDelete = true;  // gone once nothing holds it (ReapDeleted)
  return true;
}

void FakePlatform::CloseServiceHandle(Handle handle) {
  calls.push_back("CloseServiceHandle");
  handles_.erase(handle);
  ReapDeleted();
}

bool FakePlatform::StartServiceCtrlDispatcher(const std::u16string& name, ServiceMainFn entry) {
  calls.push_back("StartServiceCtrlDispatcher " + Narrow(name));
  dispatcherName = name;
  entry();
  return true;
}

Handle FakePlatform::RegisterServiceCtrlHandlerEx(const std::u16string& name, ControlHandlerFn fn) {
  calls.push_back("RegisterServiceCtrlHandlerEx " + Narrow(name));
  handler = std::move(fn);
  return 0x5000;
}

bool FakePlatform::SetServiceStatus(Handle statusHandle, const ServiceStatus& status) {
  calls.push_back("SetServiceStatus");
  if (statusHandle != 0x5000) return Fail(kErrorInvalidHandle);
  reports.push_back(status);
  return true;
}

bool FakePlatform::GetModuleFileName(uint32_t maxChars, std::u16string* path) {
  calls.push_back("GetModuleFileName");
  if (failModulePath) return Fail(kErrorGenFailure);
  // The real call truncates and reports ERROR_INSUFFICIENT_BUFFER when the path needs
  // the whole buffer (no room for the terminator).
  if (modulePath.size() >= maxChars) return Fail(kErrorInsufficientBuffer);
  *path = modulePath;
  return true;
}

void FakePlatform::Sleep(uint32_t ms) {
  sleeps.push_back(ms);
  now += ms;
  ReapDeleted();
}

bool FakePlatform::CreateThread(ThreadFn fn) {
  calls.push_back("CreateThread");
  threads.push_back(std::move(fn));
  return true;
}

bool FakePlatform::IsExistRegKey(const std::u16string& key, const std::string& name) {
  calls.push_back("IsExistRegKey " + Narrow(key) + " " + name);
  auto k = registry.find(key);
  return k != registry.end() && k->second.count(std::u16string(name.begin(), name.end())) != 0;
}

bool FakePlatform::CreateRegKey(const std::u16string& key, const std::u16string& name) {
  calls.push_back("CreateRegKey " + Narrow(key) + " " + Narrow(name));
  registry[key].emplace(name, u"");
  return true;
}

bool FakePlatform::GetValue(const std::u16string& key, const std::u16string& name,
                            std::u16string* value, uint32_t access) {
  calls.push_back("GetValue " + Narrow(name) + " " + Hex(access));
  value->clear();
  auto k = registry.find(key);
  if (k == registry.end() || !k->second.count(name)) return false;
  *value = k->second[name];
  return true;
}

bool FakePlatform::SetValue(const std::u16string& key, const std::u16string& name,
                            const std::u16string& value, uint32_t access) {
  calls.push_back("SetValue " + Narrow(name) + " " + Hex(access));
  registry[key][name] = value;
  return true;
}

void FakePlatform::StartMessageServer() {
  calls.push_back("StartMessageServer");
  ++messageServerStarts;
}

std::unique_ptr<AccountServiceApi> FakePlatform::NewAccountService() {
  calls.push_back("NewAccountService");
  if (failAccountService) return nullptr;
  return std::make_unique<FakeAccountService>(accountCalls);
}

std::unique_ptr<IpcClientApi> FakePlatform::NewIpcClient(uint32_t endpoint, bool sync,
                                                         bool broadcast) {
  calls.push_back("NewIpcClient " + Hex(endpoint));
  if (failIpcClient) return nullptr;
  return std::make_unique<FakeIpcClient>(*this, endpoint, sync, broadcast);
}

}  // namespace fake
}  // namespace orvex
