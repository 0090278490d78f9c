// Plain values and records of the Windows service API, without <windows.h>, so that the
// service logic compiles and is tested on every platform. Numbers are the Windows ones.
#pragma once

#include <cstdint>
#include <string>

namespace orvex {

// Opaque handle of the service manager, a service or a status registration; 0 is none.
using Handle = std::uintptr_t;

// Field order and widths of SERVICE_STATUS.
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

// SERVICE_STATUS_PROCESS: the 36-byte record of QueryServiceStatusEx.
struct ServiceStatusProcess : ServiceStatus {
  uint32_t processId = 0;
  uint32_t serviceFlags = 0;
};

// Field order and widths of WTSSESSION_NOTIFICATION.
struct SessionNotification {
  uint32_t cbSize = 0;
  uint32_t sessionId = 0;
};

// What CreateServiceW is given.
struct ServiceConfig {
  std::u16string serviceName;
  std::u16string displayName;
  uint32_t desiredAccess = 0;
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  std::u16string binaryPath;
};

// One entry of EnumDependentServicesW (ENUM_SERVICE_STATUSW, names copied out).
struct DependentService {
  std::u16string serviceName;
  std::u16string displayName;
  ServiceStatus status;
};

namespace win {
// Service states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

// Service types, start types, error control.
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceWin32 = 0x30;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceActive = 1;

// Access rights.
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;
constexpr uint32_t kServiceStop = 0x20;
constexpr uint32_t kServiceQueryStatus = 0x4;
constexpr uint32_t kServiceEnumerateDependents = 0x8;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kKeyAllAccess = 0xF003F;

// Controls, the accepted-controls bits and session-change events.
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kControlPause = 2;
constexpr uint32_t kControlContinue = 3;
constexpr uint32_t kControlInterrogate = 4;
constexpr uint32_t kControlShutdown = 5;
constexpr uint32_t kControlSessionChange = 14;
constexpr uint32_t kAcceptStop = 0x1;
constexpr uint32_t kAcceptPauseContinue = 0x2;
constexpr uint32_t kAcceptShutdown = 0x4;
constexpr uint32_t kAcceptSessionChange = 0x80;

constexpr uint32_t kWtsConsoleConnect = 1;
constexpr uint32_t kWtsConsoleDisconnect = 2;
constexpr uint32_t kWtsRemoteConnect = 3;
constexpr uint32_t kWtsRemoteDisconnect = 4;
constexpr uint32_t kWtsSessionLogon = 5;
constexpr uint32_t kWtsSessionLogoff = 6;
constexpr uint32_t kWtsSessionLock = 7;
constexpr uint32_t kWtsSessionUnlock = 8;

// System error codes.
constexpr uint32_t kNoError = 0;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorDependentServicesRunning = 1051;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorServiceExists = 1073;
}  // namespace win

}  // namespace orvex
