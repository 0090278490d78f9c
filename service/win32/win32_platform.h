// The service program's platform on the real Windows API and the stand-in components.
#pragma once

#include "service/platform/service_platform.h"

namespace orvex {

class Win32Platform : public ServicePlatform {
 public:
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
  uint32_t LastError() override;

  bool StartServiceCtrlDispatcher(const std::u16string& name, ServiceMainFn entry) override;
  Handle RegisterServiceCtrlHandlerEx(const std::u16string& name,
                                      ControlHandlerFn handler) override;
  bool SetServiceStatus(Handle statusHandle, const ServiceStatus& status) override;

  bool GetModuleFileName(uint32_t maxChars, std::u16string* path) override;
  uint32_t GetTickCount() override;
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
};

}  // namespace orvex
