// The program's entry logic and the running service: the service entry, the control
// handler, the logon handling and the worker thread that starts the account plugin.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "service/platform/service_platform.h"
#include "service/servicecontroller.h"

namespace orvex {

// Holds the account plugin's service object once start() has made it.
class AccountServicePluginImpl {
 public:
  explicit AccountServicePluginImpl(ServicePlatform& platform) : platform_(platform) {}

  // 0 when the plugin object exists and was started, 1 when it cannot be created.
  int start();
  void Init();
  void InitSession();

  AccountServiceApi* service() const { return m_accountService.get(); }

 private:
  ServicePlatform& platform_;
  std::unique_ptr<AccountServiceApi> m_accountService;
};

// One per process. The program never destroys it: the worker thread and the plugin live
// until the process ends.
class QzAccountService {
 public:
  explicit QzAccountService(ServicePlatform& platform)
      : platform_(platform), controller_(platform) {}
  ~QzAccountService();
  QzAccountService(const QzAccountService&) = delete;
  QzAccountService& operator=(const QzAccountService&) = delete;

  // Installs and starts the service for "START", else runs as the service. Always 0.
  int wWinMain(const char16_t* commandLine);

  void ServiceMain();
  uint32_t ServiceCtrlHandler(uint32_t control, uint32_t eventType, const void* eventData);
  void ServiceOnLogonWindows(uint32_t eventType, const SessionNotification*& notification);
  uint32_t ServiceWorkerThread();

  const ServiceStatus& status() const { return status_; }
  uint32_t lastSessionId() const { return lastSessionId_; }
  AccountServicePluginImpl* plugin() const { return plugin_.load(); }

 private:
  void EnsureActsvcEntry();

  ServicePlatform& platform_;
  ServiceController controller_;
  ServiceStatus status_;
  Handle statusHandle_ = 0;
  std::atomic<AccountServicePluginImpl*> plugin_{nullptr};  // written by the worker thread
  uint32_t lastSessionId_ = 0;
};

}  // namespace orvex
