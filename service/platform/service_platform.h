// Everything the service program asks of the operating system and of the components it
// talks to. The win32 implementation forwards to the real API; tests use a scripted fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/components/ipc/ipc_message.h"
#include "service/platform/service_types.h"

// <windows.h> maps these names to their A/W forms; here they name interface methods, and
// Windows code calls the W functions by their full names.
#ifdef _WIN32
#undef OpenSCManager
#undef CreateService
#undef OpenService
#undef StartService
#undef EnumDependentServices
#undef StartServiceCtrlDispatcher
#undef RegisterServiceCtrlHandlerEx
#undef GetModuleFileName
#endif

namespace orvex {

// The account plugin's service object (QZAccountServicePlugin's AccountService).
class AccountServiceApi {
 public:
  virtual ~AccountServiceApi() = default;
  virtual bool Init() = 0;
  virtual bool InitSession() = 0;
  virtual bool BeginWork() = 0;
};

// A client of the message channel (OrvexCoreMessage's IPCMessageClient).
class IpcClientApi {
 public:
  virtual ~IpcClientApi() = default;
  // True when the item was delivered within timeoutMs.
  virtual bool SendIPCMessage(const TagIPCMessageItem& item, int flags,
                              TagIPCMessageItemRecv& reply, uint32_t timeoutMs) = 0;
};

using ServiceMainFn = std::function<void()>;
using ControlHandlerFn =
    std::function<uint32_t(uint32_t control, uint32_t eventType, const void* eventData)>;
using ThreadFn = std::function<uint32_t()>;

class ServicePlatform {
 public:
  virtual ~ServicePlatform() = default;

  // Service Control Manager. Failures leave their code for LastError().
  virtual Handle OpenSCManager(uint32_t access) = 0;
  virtual Handle CreateService(Handle manager, const ServiceConfig& config) = 0;
  virtual Handle OpenService(Handle manager, const std::u16string& name, uint32_t access) = 0;
  virtual bool StartService(Handle service) = 0;
  virtual bool ControlService(Handle service, uint32_t control, ServiceStatus* status) = 0;
  virtual bool QueryServiceStatusEx(Handle service, ServiceStatusProcess* status) = 0;
  // Fills buffer (of the size the caller allocated) and copies the entries out into
  // dependents. A buffer too small fails with ERROR_MORE_DATA and sets bytesNeeded.
  virtual bool EnumDependentServices(Handle service, uint32_t state, std::vector<uint8_t>& buffer,
                                     uint32_t* bytesNeeded,
                                     std::vector<DependentService>* dependents) = 0;
  virtual bool DeleteService(Handle service) = 0;
  virtual void CloseServiceHandle(Handle handle) = 0;
  virtual uint32_t LastError() = 0;

  // The running service's side.
  virtual bool StartServiceCtrlDispatcher(const std::u16string& name, ServiceMainFn entry) = 0;
  virtual Handle RegisterServiceCtrlHandlerEx(const std::u16string& name,
                                              ControlHandlerFn handler) = 0;
  virtual bool SetServiceStatus(Handle statusHandle, const ServiceStatus& status) = 0;

  // Process and time. GetModuleFileName fails when the path does not fit maxChars.
  virtual bool GetModuleFileName(uint32_t maxChars, std::u16string* path) = 0;
  virtual uint32_t GetTickCount() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  virtual bool CreateThread(ThreadFn fn) = 0;

  // Registry of the current user (QZAccountServicePlugin's BaseUtil, Util's DE::Registry).
  virtual bool IsExistRegKey(const std::u16string& key, const std::string& name) = 0;
  virtual bool CreateRegKey(const std::u16string& key, const std::u16string& name) = 0;
  virtual bool GetValue(const std::u16string& key, const std::u16string& name,
                        std::u16string* value, uint32_t access) = 0;
  virtual bool SetValue(const std::u16string& key, const std::u16string& name,
                        const std::u16string& value, uint32_t access) = 0;

  // Components. Both factories return null when the object cannot be made.
  virtual void StartMessageServer() = 0;
  virtual std::unique_ptr<AccountServiceApi> NewAccountService() = 0;
  virtual std::unique_ptr<IpcClientApi> NewIpcClient(uint32_t endpoint, bool sync,
                                                     bool broadcast) = 0;
};

}  // namespace orvex
