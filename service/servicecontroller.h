// Installs, starts, stops and deletes the OrvexCoreService entry of the service manager.
#pragma once

#include <cstdint>
#include <string>

#include "service/platform/service_platform.h"

namespace orvex {

class ServiceController {
 public:
  explicit ServiceController(ServicePlatform& platform) : platform_(platform) {}

  // 0 installed, 123 own path unreadable, 5 no service manager, else the creation error.
  uint32_t SvcInstall();
  void DoStartSvc();
  void DoStopSvc();
  bool StopDependentServices(Handle manager, Handle service);
  void DoDeleteSvc();

  // Time budget of DoStopSvc and StopDependentServices.
  static constexpr uint32_t kStopTimeoutMs = 30000;
  // While a deleted service is only marked for deletion (its process or a handle to it still
  // lives), creation answers 1072: it is retried in these steps, up to the limit.
  static constexpr uint32_t kMarkedForDeleteStepMs = 250;
  static constexpr uint32_t kMarkedForDeleteLimitMs = 10000;

 private:
  ServicePlatform& platform_;
};

// The service manager splits an unquoted path at its first blank, so a path with blanks
// is quoted; other paths are kept as they are.
std::u16string QuoteBinaryPath(const std::u16string& path);

// A tenth of the wait hint, kept within 1 to 10 seconds.
uint32_t BoundedPollInterval(uint32_t waitHint);

}  // namespace orvex
