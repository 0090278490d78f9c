// clang-format off
// <windows.h> comes before the interface header, which drops the A/W macros that clash
// with its method names; sorting the includes would undo that.
#include <windows.h>
#include "service/win32/win32_platform.h"
// clang-format on

#include <cstddef>
#include <new>

#include "service/components/account/account_service.h"
#include "service/components/ipc/ipc_message_client.h"
#include "service/components/ipc/ipc_message_server.h"
#include "service/components/registry/registry.h"

namespace orvex {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "QueryServiceStatusEx record");
static_assert(sizeof(SessionNotification) == sizeof(WTSSESSION_NOTIFICATION) &&
                  offsetof(SessionNotification, sessionId) ==
                      offsetof(WTSSESSION_NOTIFICATION, dwSessionId),
              "session notification layout");

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
std::wstring Wide(const std::u16string& text) { return std::wstring(W(text), text.size()); }
std::u16string U16(const wchar_t* text, size_t size) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), size);
}
SC_HANDLE Sc(Handle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
Handle H(SC_HANDLE handle) { return reinterpret_cast<Handle>(handle); }

ServiceStatus FromWin(const SERVICE_STATUS& in) {
  ServiceStatus out;
  out.serviceType = in.dwServiceType;
  out.currentState = in.dwCurrentState;
  out.controlsAccepted = in.dwControlsAccepted;
  out.win32ExitCode = in.dwWin32ExitCode;
  out.serviceSpecificExitCode = in.dwServiceSpecificExitCode;
  out.checkPoint = in.dwCheckPoint;
  out.waitHint = in.dwWaitHint;
  return out;
}

// The dispatcher and the control handler take plain function pointers; the one service
// of this process keeps its callbacks here.
ServiceMainFn g_serviceMain;
ControlHandlerFn g_handler;

void WINAPI ServiceMainThunk(DWORD, LPWSTR*) {
  if (g_serviceMain) g_serviceMain();
}

DWORD WINAPI HandlerThunk(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  return g_handler ? g_handler(control, eventType, eventData) : NO_ERROR;
}

DWORD WINAPI ThreadThunk(LPVOID parameter) {
  ThreadFn* fn = static_cast<ThreadFn*>(parameter);
  const DWORD result = (*fn)();
  delete fn;
  return result;
}

}  // namespace

Handle Win32Platform::OpenSCManager(uint32_t access) {
  return H(OpenSCManagerW(nullptr, nullptr, access));
}

Handle Win32Platform::CreateService(Handle manager, const ServiceConfig& config) {
  return H(CreateServiceW(Sc(manager), W(config.serviceName), W(config.displayName),
                          config.desiredAccess, config.serviceType, config.startType,
                          config.errorControl, W(config.binaryPath), nullptr, nullptr, nullptr,
                          nullptr, nullptr));
}

Handle Win32Platform::OpenService(Handle manager, const std::u16string& name, uint32_t access) {
  return H(OpenServiceW(Sc(manager), W(name), access));
}

bool Win32Platform::StartService(Handle service) {
  return StartServiceW(Sc(service), 0, nullptr) != FALSE;
}

bool Win32Platform::ControlService(Handle service, uint32_t control, ServiceStatus* status) {
  SERVICE_STATUS win = {};
  if (!::ControlService(Sc(service), control, &win)) return false;
  *status = FromWin(win);
  return true;
}

bool Win32Platform::QueryServiceStatusEx(Handle service, ServiceStatusProcess* status) {
  SERVICE_STATUS_PROCESS win = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&win),
                              sizeof(win), &needed)) {
    return false;
  }
  SERVICE_STATUS plain = {win.dwServiceType,
                          win.dwCurrentState,
                          win.dwControlsAccepted,
                          win.dwWin32ExitCode,
                          win.dwServiceSpecificExitCode,
                          win.dwCheckPoint,
                          win.dwWaitHint};
  static_cast<ServiceStatus&>(*status) = FromWin(plain);
  status->processId = win.dwProcessId;
  status->serviceFlags = win.dwServiceFlags;
  return true;
}

bool Win32Platform::EnumDependentServices(Handle service, uint32_t state,
                                          std::vector<uint8_t>& buffer, uint32_t* bytesNeeded,
                                          std::vector<DependentService>* dependents) {
  DWORD needed = 0;
  DWORD count = 0;
  auto* entries = buffer.empty() ? nullptr : reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
  if (!EnumDependentServicesW(Sc(service), state, entries, static_cast<DWORD>(buffer.size()),
                              &needed, &count)) {
    *bytesNeeded = needed;
    return false;
  }
  dependents->clear();
  for (DWORD i = 0; i < count && entries != nullptr; ++i) {
    DependentService dependent;
    const wchar_t* name = entries[i].lpServiceName;
    const wchar_t* display = entries[i].lpDisplayName;
    if (name != nullptr) dependent.serviceName = U16(name, wcslen(name));
    if (display != nullptr) dependent.displayName = U16(display, wcslen(display));
    dependent.status = FromWin(entries[i].ServiceStatus);
    dependents->push_back(dependent);
  }
  return true;
}

bool Win32Platform::DeleteService(Handle service) { return ::DeleteService(Sc(service)) != FALSE; }

void Win32Platform::CloseServiceHandle(Handle handle) { ::CloseServiceHandle(Sc(handle)); }

uint32_t Win32Platform::LastError() { return GetLastError(); }

bool Win32Platform::StartServiceCtrlDispatcher(const std::u16string& name, ServiceMainFn entry) {
  g_serviceMain = std::move(entry);
  std::wstring serviceName = Wide(name);
  SERVICE_TABLE_ENTRYW table[] = {{&serviceName[0], ServiceMainThunk}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE;
}

Handle Win32Platform::RegisterServiceCtrlHandlerEx(const std::u16string& name,
                                                   ControlHandlerFn handler) {
  g_handler = std::move(handler);
  return reinterpret_cast<Handle>(RegisterServiceCtrlHandlerExW(W(name), HandlerThunk, nullptr));
}

bool Win32Platform::SetServiceStatus(Handle statusHandle, const ServiceStatus& status) {
  SERVICE_STATUS win = {status.serviceType,
                        status.currentState,
                        status.controlsAccepted,
                        status.win32ExitCode,
                        status.serviceSpecificExitCode,
                        status.checkPoint,
                        status.waitHint};
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &win) != FALSE;
}

bool Win32Platform::GetModuleFileName(uint32_t maxChars, std::u16string* path) {
  std::vector<wchar_t> buffer(maxChars, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), maxChars);
  // n == maxChars means the path was cut to fit: not a path we can use.
  if (n == 0 || n >= maxChars) return false;
  *path = U16(buffer.data(), n);
  return true;
}

uint32_t Win32Platform::GetTickCount() { return ::GetTickCount(); }

void Win32Platform::Sleep(uint32_t ms) { ::Sleep(ms); }

bool Win32Platform::CreateThread(ThreadFn fn) {
  auto* owned = new (std::nothrow) ThreadFn(std::move(fn));
  if (owned == nullptr) return false;
  HANDLE thread = ::CreateThread(nullptr, 0, ThreadThunk, owned, 0, nullptr);
  if (thread == nullptr) {
    delete owned;
    return false;
  }
  CloseHandle(thread);
  return true;
}

bool Win32Platform::IsExistRegKey(const std::u16string& key, const std::string& name) {
  return BaseUtil::IsExistRegKey(HKEY_CURRENT_USER, Wide(key), name);
}

bool Win32Platform::CreateRegKey(const std::u16string& key, const std::u16string& name) {
  return BaseUtil::CreateRegKey(HKEY_CURRENT_USER, Wide(key), Wide(name));
}

bool Win32Platform::GetValue(const std::u16string& key, const std::u16string& name,
                             std::u16string* value, uint32_t access) {
  std::wstring text;
  const bool ok = DE::Registry::GetValue(HKEY_CURRENT_USER, Wide(key), Wide(name), text, access);
  *value = U16(text.c_str(), text.size());
  return ok;
}

bool Win32Platform::SetValue(const std::u16string& key, const std::u16string& name,
                             const std::u16string& value, uint32_t access) {
  return DE::Registry::SetValue(HKEY_CURRENT_USER, Wide(key), Wide(name), Wide(value), access);
}

void Win32Platform::StartMessageServer() {
  // Runs for the life of the process; never released.
  auto* server = new (std::nothrow) IPCMessageServer();
  if (server != nullptr) server->Start();
}

std::unique_ptr<AccountServiceApi> Win32Platform::NewAccountService() {
  return std::unique_ptr<AccountServiceApi>(new (std::nothrow) AccountService());
}

std::unique_ptr<IpcClientApi> Win32Platform::NewIpcClient(uint32_t endpoint, bool sync,
                                                          bool broadcast) {
  return std::unique_ptr<IpcClientApi>(new (std::nothrow)
                                           IPCMessageClient(endpoint, sync, broadcast));
}

}  // namespace orvex
