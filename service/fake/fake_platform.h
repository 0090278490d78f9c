// A scripted stand-in for Windows: a service manager with states, wait hints, check points
// and dependents, a registry, a clock that moves only when slept on (or per query), and
// recording components. Runs the service logic natively in tests.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "service/platform/service_platform.h"

namespace orvex {
namespace fake {

// What a query reports next.
struct Step {
  uint32_t state = win::kServiceStopped;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

struct FakeService {
  ServiceConfig config;
  Step current;
  std::deque<Step> script;  // one step is taken before each successful query
  Step afterStart{win::kServiceRunning, 0, 9000};
  Step afterStop{win::kServiceStopped, 0, 0};
  std::vector<std::u16string> dependents;  // services that depend on this one
  // Calls that fail for this service: "open", "query", "start", "control", "delete".
  std::set<std::string> failing;
  // How long the service's process outlives its report of "stopped".
  uint32_t processExitDelayMs = 0;
  // As on Windows, a deleted service stays (marked for deletion, creation of its name
  // answers 1072) until its process has ended and every handle to it is closed.
  bool markedForDelete = false;
  uint32_t stoppedAt = 0;  // clock when it last reached "stopped"
};

struct SentMessage {
  uint32_t endpoint = 0;
  bool sync = false;
  bool broadcast = false;
  TagIPCMessageItem item;
  int flags = 0;
  TagIPCMessageItemRecv reply;  // as handed in
  uint32_t timeoutMs = 0;
};

class FakePlatform : public ServicePlatform {
 public:
  FakePlatform();

  // --- Script and observations -------------------------------------------------------
  std::map<std::u16string, FakeService> services;
  std::deque<uint32_t> createErrors;  // forced results of the next CreateService calls
  bool failOpenSCManager = false;
  bool failEnum = false;
  std::u16string modulePath = u"C:\\Orvex\\OrvexCoreService.exe";
  bool failModulePath = false;

  uint32_t now = 0;          // GetTickCount
  uint32_t queryCostMs = 0;  // time each status query takes
  std::vector<uint32_t> sleeps;
  std::vector<std::string> calls;  // one line per platform call, in order

  std::u16string dispatcherName;
  ControlHandlerFn handler;
  std::vector<ServiceStatus> reports;  // every SetServiceStatus
  std::vector<ThreadFn> threads;       // started with CreateThread, run by RunThreads

  std::map<std::u16string, std::map<std::u16string, std::u16string>> registry;

  int messageServerStarts = 0;
  bool failAccountService = false;
  std::vector<std::string> accountCalls;
  bool failIpcClient = false;
  bool sendResult = true;
  std::vector<SentMessage> sent;

  FakeService& Install(const std::u16string& name, Step current);
  void RunThreads();
  size_t OpenHandles() const { return handles_.size(); }
  size_t CountCalls(const std::string& prefix) const;

  // --- ServicePlatform -----------------------------------------------------------------
  Handle OpenSCManager(uint32_t access) override;
  Handle CreateService(Handle manager, const ServiceConfig& config) override;
  Handle OpenService(Handle manager, const std::u16string& name, uint32_t access) override;
  bool StartService(Handle service) override;
  bool ControlService(Handle service, uint32_t control, ServiceStatus* status) override;
  bool QueryServiceStatusEx(Handle service, ServiceStatusProcess* status) override;
  bool EnumDependentServices(Handle service, uint32_t state, std::vector<uint8_t>& buffer,
                             uint32_t* bytesNeeded,
                             std::vector<DependentService>* dependents) override;
  bool DeleteService(Handle service) override;
  void CloseServiceHandle(Handle handle) override;
  uint32_t LastError() override { return lastError_; }

  bool StartServiceCtrlDispatcher(const std::u16string& name, ServiceMainFn entry) override;
  Handle RegisterServiceCtrlHandlerEx(const std::u16string& name,
                                      ControlHandlerFn handler) override;
  bool SetServiceStatus(Handle statusHandle, const ServiceStatus& status) override;

  bool GetModuleFileName(uint32_t maxChars, std::u16string* path) override;
  uint32_t GetTickCount() override { return now; }
  void Sleep(uint32_t ms) override;
  bool CreateThread(ThreadFn fn) override;

  bool IsExistRegKey(const std::u16string& key, const std::string& name) override;
  bool CreateRegKey(const std::u16string& key, const std::u16string& name) override;
  bool GetValue(const std::u16string& key, const std::u16string& name, std::u16string* value,
                uint32_t access) override;
  bool SetValue(const std::u16string& key, const std::u16string& name, const std::u16string& value,
                uint32_t access) override;

  void StartMessageServer() override;
  std::unique_ptr<AccountServiceApi> NewAccountService() override;
  std::unique_ptr<IpcClientApi> NewIpcClient(uint32_t endpoint, bool sync, bool broadcast) override;

 private:
  struct HandleInfo {
    bool manager = false;
    std::u16string service;
    uint32_t access = 0;
  };
  FakeService* ServiceOf(Handle handle, const char* call);
  void SetState(FakeService& service, const Step& step);
  // Removes the services marked for deletion that nothing holds any longer.
  void ReapDeleted();
  Handle NewHandle(HandleInfo info);
  bool Fail(uint32_t error);

  std::map<Handle, HandleInfo> handles_;
  Handle nextHandle_ = 0x100;
  uint32_t lastError_ = 0;
};

// ASCII text for messages and call lines.
std::string Narrow(const std::u16string& text);

}  // namespace fake
}  // namespace orvex
