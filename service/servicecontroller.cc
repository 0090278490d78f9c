#include "service/servicecontroller.h"

#include <algorithm>
#include <new>
#include <vector>

#include "service/components/logger/process_logger.h"
#include "service/scoped_service_handle.h"
#include "service/service_identity.h"

namespace orvex {

std::u16string QuoteBinaryPath(const std::u16string& path) {
  if (path.find(u' ') == std::u16string::npos) return path;
  if (path.size() >= 2 && path.front() == u'"' && path.back() == u'"') return path;
  return u"\"" + path + u"\"";
}

uint32_t BoundedPollInterval(uint32_t waitHint) {
  const uint32_t wait = waitHint / 10;
  if (wait < 1000) return 1000;
  if (wait > 10000) return 10000;
  return wait;
}

namespace {

// Sleeps for the wait hint but never past the end of the stop budget: a service that
// reports a huge hint must not hold the caller far beyond its 30 seconds.
uint32_t SleepWithinBudget(uint32_t waitHint, uint32_t elapsed) {
  const uint32_t budget = ServiceController::kStopTimeoutMs;
  const uint32_t remaining = elapsed < budget ? budget - elapsed : 0;
  return std::min(waitHint, remaining + 1);
}

}  // namespace

uint32_t ServiceController::SvcInstall() {
  std::u16string path;
  if (!platform_.GetModuleFileName(kMaxPath, &path)) {
    ORVEX_WARN("Cannot install service");
    return win::kErrorInvalidName;
  }
  ScopedServiceHandle manager(platform_, platform_.OpenSCManager(win::kScManagerAllAccess));
  if (!manager) {
    ORVEX_WARN("OpenSCManager failed");
    return win::kErrorAccessDenied;
  }
  ServiceConfig config;
  config.serviceName = kServiceName;
  config.displayName = kServiceName;
  config.desiredAccess = win::kServiceAllAccess;
  config.serviceType = win::kServiceWin32OwnProcess;
  config.startType = win::kServiceAutoStart;
  config.errorControl = win::kServiceErrorNormal;
  config.binaryPath = QuoteBinaryPath(path);
  Handle created = platform_.CreateService(manager.get(), config);
  uint32_t error = created ? 0 : platform_.LastError();  // before logging can overwrite it
  if (error == win::kErrorServiceMarkedForDelete) {
    // The service deleted just before goes away only once its process has ended and every
    // handle to it is closed; an immediate retry would meet the same answer.
    ORVEX_WARN("Service marked for deletion, waiting");
    for (uint32_t waited = 0;
         error == win::kErrorServiceMarkedForDelete && waited < kMarkedForDeleteLimitMs;
         waited += kMarkedForDeleteStepMs) {
      platform_.Sleep(kMarkedForDeleteStepMs);
      created = platform_.CreateService(manager.get(), config);
      error = created ? 0 : platform_.LastError();
    }
  }
  ScopedServiceHandle service(platform_, created);
  if (!service) {
    ORVEX_WARN("CreateService failed");
    return error;
  }
  ORVEX_WARN("Service installed successfully\n");
  return 0;
}

void ServiceController::DoStartSvc() {
  ScopedServiceHandle manager(platform_, platform_.OpenSCManager(win::kScManagerAllAccess));
  if (!manager) {
    ORVEX_WARN("DoStartSvc()::OpenSCManager failed");
    return;
  }
  ScopedServiceHandle service(
      platform_, platform_.OpenService(manager.get(), kServiceName, win::kServiceAllAccess));
  if (!service) {
    ORVEX_WARN("OpenService failed");
    return;
  }
  ServiceStatusProcess status;
  if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
    ORVEX_WARN("DoStartSvc()::QueryServiceStatusEx failed");
    return;
  }
  if (status.currentState != win::kServiceStopped &&
      status.currentState != win::kServiceStopPending) {
    ORVEX_WARN("Cannot start the service because it is already running");
    return;
  }

  uint32_t startTick = platform_.GetTickCount();
  uint32_t oldCheckPoint = status.checkPoint;
  while (status.currentState == win::kServiceStopPending) {
    platform_.Sleep(BoundedPollInterval(status.waitHint));
    if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
      ORVEX_WARN("QueryServiceStatusEx Stop failed");
      return;
    }
    // A service that has stopped is started, however long it took to get there.
    if (status.currentState != win::kServiceStopPending) break;
    if (status.checkPoint > oldCheckPoint) {
      startTick = platform_.GetTickCount();
      oldCheckPoint = status.checkPoint;
    } else if (platform_.GetTickCount() - startTick > status.waitHint) {
      ORVEX_WARN("Timeout waiting for service to stop\n");
      return;
    }
  }

  if (!platform_.StartService(service.get())) {
    ORVEX_WARN("StartService failed");
    return;
  }
  ORVEX_WARN("Service start pending...");

  if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
    ORVEX_WARN("QueryServiceStatusEx Start failed");
    return;
  }
  startTick = platform_.GetTickCount();
  oldCheckPoint = status.checkPoint;
  while (status.currentState == win::kServiceStartPending) {
    platform_.Sleep(BoundedPollInterval(status.waitHint));
    if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
      ORVEX_WARN("QueryServiceStatusEx failed");
      break;
    }
    if (status.checkPoint > oldCheckPoint) {
      startTick = platform_.GetTickCount();
      oldCheckPoint = status.checkPoint;
    } else if (platform_.GetTickCount() - startTick > status.waitHint) {
      break;
    }
  }

  if (status.currentState == win::kServiceRunning) {
    ORVEX_WARN("Service started successfully.");
  } else {
    ORVEX_WARN("Service not started.");
  }
}

void ServiceController::DoStopSvc() {
  const uint32_t startTime = platform_.GetTickCount();
  ScopedServiceHandle manager(platform_, platform_.OpenSCManager(win::kScManagerAllAccess));
  if (!manager) {
    ORVEX_WARN("DoStopSvc()::OpenSCManager failed");
    return;
  }
  const uint32_t access =
      win::kServiceStop | win::kServiceQueryStatus | win::kServiceEnumerateDependents;
  ScopedServiceHandle service(platform_,
                              platform_.OpenService(manager.get(), kServiceName, access));
  if (!service) {
    ORVEX_WARN("OpenService failed");
    return;
  }
  ServiceStatusProcess status;
  if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
    ORVEX_WARN("QueryServiceStatusEx failed");
    return;
  }
  if (status.currentState == win::kServiceStopped) {
    ORVEX_WARN("Service is already stopped");
    return;
  }

  while (status.currentState == win::kServiceStopPending) {
    ORVEX_WARN("Service stop pending...");
    platform_.Sleep(BoundedPollInterval(status.waitHint));
    if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
      ORVEX_WARN("QueryServiceStatusEx failed");
      return;
    }
    if (status.currentState == win::kServiceStopped) {
      ORVEX_WARN("Service stopped successfully.");
      return;
    }
    if (platform_.GetTickCount() - startTime > kStopTimeoutMs) {
      ORVEX_WARN("Service stop timed out.");
      return;
    }
  }

  StopDependentServices(manager.get(), service.get());

  ServiceStatus controlStatus;
  if (!platform_.ControlService(service.get(), win::kControlStop, &controlStatus)) {
    ORVEX_WARN("ControlService failed");
    return;
  }
  static_cast<ServiceStatus&>(status) = controlStatus;
  while (status.currentState != win::kServiceStopped) {
    platform_.Sleep(SleepWithinBudget(status.waitHint, platform_.GetTickCount() - startTime));
    if (!platform_.QueryServiceStatusEx(service.get(), &status)) {
      ORVEX_WARN("QueryServiceStatusEx Stop failed");
      return;
    }
    if (status.currentState == win::kServiceStopped) break;
    if (platform_.GetTickCount() - startTime > kStopTimeoutMs) {
      ORVEX_WARN("Wait timed out");
      return;
    }
  }
  ORVEX_WARN("Service stopped successfully");
}

bool ServiceController::StopDependentServices(Handle manager, Handle service) {
  const uint32_t startTime = platform_.GetTickCount();
  std::vector<uint8_t> buffer;
  uint32_t bytesNeeded = 0;
  std::vector<DependentService> dependents;
  if (platform_.EnumDependentServices(service, win::kServiceActive, buffer, &bytesNeeded,
                                      &dependents)) {
    return true;  // an empty buffer suffices only when there are none
  }
  if (platform_.LastError() != win::kErrorMoreData) return false;
  try {
    buffer.assign(bytesNeeded, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!platform_.EnumDependentServices(service, win::kServiceActive, buffer, &bytesNeeded,
                                       &dependents)) {
    return false;
  }

  for (const DependentService& dependent : dependents) {
    ScopedServiceHandle handle(platform_,
                               platform_.OpenService(manager, dependent.serviceName,
                                                     win::kServiceStop | win::kServiceQueryStatus));
    if (!handle) return false;
    ServiceStatus controlStatus;
    if (!platform_.ControlService(handle.get(), win::kControlStop, &controlStatus)) return false;
    ServiceStatusProcess status;
    static_cast<ServiceStatus&>(status) = controlStatus;
    while (status.currentState != win::kServiceStopped) {
      platform_.Sleep(SleepWithinBudget(status.waitHint, platform_.GetTickCount() - startTime));
      if (!platform_.QueryServiceStatusEx(handle.get(), &status)) return false;
      if (status.currentState == win::kServiceStopped) break;
      if (platform_.GetTickCount() - startTime > kStopTimeoutMs) return false;
    }
  }
  return true;
}

void ServiceController::DoDeleteSvc() {
  ScopedServiceHandle manager(platform_, platform_.OpenSCManager(win::kScManagerAllAccess));
  if (!manager) {
    ORVEX_WARN("DoDeleteSvc::OpenSCManager failed");
    return;
  }
  ScopedServiceHandle service(platform_,
                              platform_.OpenService(manager.get(), kServiceName, win::kDelete));
  if (!service) {
    ORVEX_WARN("OpenService failed");
    return;
  }
  if (platform_.DeleteService(service.get())) {
    ORVEX_WARN("Service deleted successfully");
  } else {
    ORVEX_WARN("DeleteService failed");
  }
}

}  // namespace orvex
