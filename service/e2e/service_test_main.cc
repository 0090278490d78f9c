// OrvexServiceTest.exe: checks the installed service from outside and drives the service's
// control handler with session events, which Wine never delivers to a service.
//   status    prints the service's state, configuration and the "actsvc" value
//   stop      sends the stop control and waits for STOPPED
//   remove    stops and deletes the service, ignoring failures (clean-up)
//   sessions  runs broker and account service in this process and checks the logouts
//   delete    deletes the service without stopping it (it stays marked for deletion)
//   pipe      serves the broker pipe name itself and checks what a connecting client allows
#include <log4cplus/initializer.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "service/components/account/account_service.h"
#include "service/components/ipc/ipc_message_client.h"
#include "service/components/ipc/pipe_io.h"
#include "service/components/logger/process_logger.h"
#include "service/components/registry/registry.h"
#include "service/qzaccountservice.h"
#include "service/win32/win32_platform.h"

namespace {

using orvex::SessionNotification;

int g_failed = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "PASS" : "FAIL", what);
  if (!ok) ++g_failed;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

int Status() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"OrvexCoreService",
                                             SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                              : nullptr;
  if (service == nullptr) {
    std::printf("missing\n");
    if (manager) CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                       sizeof(status), &needed);
  std::printf("state=%lu controls=0x%lx type=0x%lx pid=%lu\n", status.dwCurrentState,
              status.dwControlsAccepted, status.dwServiceType, status.dwProcessId);
  std::vector<BYTE> buffer(8192);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
    std::printf("start=%lu error=%lu svctype=0x%lx\npath=%s\n", config->dwStartType,
                config->dwErrorControl, config->dwServiceType,
                Narrow(config->lpBinaryPathName).c_str());
  }
  std::wstring actsvc;
  DE::Registry::GetValue(HKEY_CURRENT_USER, L"\\SOFTWARE\\Orvex Core\\QZID", L"actsvc", actsvc,
                         KEY_READ);
  std::printf("actsvc=%s\n", Narrow(actsvc).c_str());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}

// Sends STOP and waits up to 10 s each for STOPPED and for the process to end; 0 when both.
int Stop(bool andDelete) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"OrvexCoreService",
                                             SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                              : nullptr;
  if (service == nullptr) {
    if (manager) CloseServiceHandle(manager);
    return andDelete ? 0 : 1;
  }
  // STOPPED is reported before the process has ended; wait for that too, so that no
  // broker of the old service is left for later tests to talk to.
  SERVICE_STATUS_PROCESS before = {};
  DWORD bytes = 0;
  QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&before),
                       sizeof(before), &bytes);
  HANDLE process =
      before.dwProcessId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, before.dwProcessId) : nullptr;
  SERVICE_STATUS status = {};
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  int result = 1;
  for (int i = 0; i < 100; ++i) {
    SERVICE_STATUS_PROCESS now = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&now),
                             sizeof(now), &needed) &&
        now.dwCurrentState == SERVICE_STOPPED) {
      result = 0;
      break;
    }
    Sleep(100);
  }
  if (process != nullptr) {
    if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) result = 1;
    CloseHandle(process);
  }
  std::printf("%s\n", result == 0 ? "stopped" : "not stopped");
  if (andDelete) DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return andDelete ? 0 : result;
}

std::vector<std::string> LogLines(const log4cplus::tstring& path) {
  std::ifstream in(path.c_str());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.find(text) != std::string::npos;
  return count;
}

int Sessions() {
  log4cplus::Initializer initializer;
  const log4cplus::tstring logPath = orvex::ExecutableDirectory() + L"OrvexServiceTest.log";
  DeleteFileW(logPath.c_str());
  orvex::InitProcessLogger(L"OrvexServiceTest");

  auto* platform = new orvex::Win32Platform();  // never released, like the service's
  auto* service = new orvex::QzAccountService(*platform);
  auto event = [&](DWORD type, DWORD session) {
    WTSSESSION_NOTIFICATION notification = {sizeof(notification), session};
    return service->ServiceCtrlHandler(SERVICE_CONTROL_SESSIONCHANGE, type, &notification);
  };

  // No broker yet: the logout cannot be delivered, and the send says so in bounded time.
  ULONGLONG started = GetTickCount64();
  event(WTS_SESSION_LOGON, 7);
  Check(GetTickCount64() - started < 3500, "undeliverable logout returns within its time");

  service->ServiceMain();  // not under the service manager: registration fails, not acted on
  orvex::AccountService* account = nullptr;
  for (int i = 0; i < 100 && account == nullptr; ++i) {
    if (service->plugin() != nullptr)
      account = dynamic_cast<orvex::AccountService*>(service->plugin()->service());
    if (account == nullptr) Sleep(50);
  }
  Check(account != nullptr, "worker thread started the account plugin");
  if (account == nullptr) return 1;
  Check(account->WaitRegistered(10000), "account service registered with the broker");

  Check(event(WTS_SESSION_LOCK, 1) == NO_ERROR, "handler returns NO_ERROR");
  event(WTS_SESSION_UNLOCK, 1);  // same session: no logout
  event(WTS_SESSION_LOGON, 2);   // another session: logout 1
  event(WTS_SESSION_LOCK, 2);
  event(WTS_SESSION_UNLOCK, 2);  // same session: no logout
  event(WTS_SESSION_LOGOFF, 2);
  event(WTS_SESSION_LOGON, 4);      // logout 2
  event(WTS_CONSOLE_CONNECT, 5);    // nothing
  event(WTS_REMOTE_CONNECT, 6);     // nothing
  event(WTS_REMOTE_DISCONNECT, 6);  // nothing
  event(WTS_CONSOLE_DISCONNECT, 8);
  event(WTS_SESSION_UNLOCK, 9);  // logout 3
  service->ServiceCtrlHandler(SERVICE_CONTROL_PAUSE, 0, nullptr);
  Sleep(300);  // nothing else may arrive late

  const std::vector<orvex::TagIPCMessageItem> logouts = account->Logouts();
  Check(logouts.size() == 3, "account service received exactly three logouts");
  bool fields = !logouts.empty();
  for (const orvex::TagIPCMessageItem& item : logouts) {
    fields = fields && item.msgClass == 0x80000 && item.destination == 0x700000 &&
             item.command == 0x80018 && item.param == 0 && item.sequence == -1 &&
             item.reserved1 == 0 && item.reserved2 == 0 && item.data == 0 && item.needReply;
  }
  Check(fields, "logout messages carry the expected values");
  Check(service->lastSessionId() == 8, "lastSessionId follows lock, logoff and disconnect");

  // An endpoint nobody registered: refused at once.
  orvex::IPCMessageClient stranger(0x123, true, false);
  orvex::TagIPCMessageItem item;
  orvex::TagIPCMessageItemRecv reply;
  started = GetTickCount64();
  Check(!stranger.SendIPCMessage(item, 0, reply, 3000) && GetTickCount64() - started < 3500,
        "message to an unknown endpoint is not delivered");

  const std::vector<std::string> lines = LogLines(logPath);
  Check(CountContaining(lines, "ERROR logout IPC send result error(ServiceOnLogonWindows)") == 1,
        "log: one ERROR line for the undeliverable logout");
  Check(CountContaining(lines,
                        "WARN  curSessionId is equal to lastSessionId, lastSessionId=1("
                        "ServiceOnLogonWindows)") == 1 &&
            CountContaining(lines,
                            "WARN  curSessionId is equal to lastSessionId, "
                            "lastSessionId=2(ServiceOnLogonWindows)") == 1 &&
            CountContaining(lines, "curSessionId is equal") == 2,
        "log: one WARN line per same-session unlock");
  return g_failed == 0 ? 0 : 1;
}

// Deletes the service as it is, running or not: a running one stays marked for deletion
// until its process has ended.
int Delete() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, L"OrvexCoreService", DELETE) : nullptr;
  const bool deleted = service != nullptr && DeleteService(service);
  std::printf("%s\n", deleted ? "deleted" : "not deleted");
  if (service) CloseServiceHandle(service);
  if (manager) CloseServiceHandle(manager);
  return deleted ? 0 : 1;
}

// A process that got the pipe name first (a squatter) must learn at most who the client
// is: the client's identification-only SQOS leaves it an identification-level token.
int PipeIdentity() {
  HANDLE squat = orvex::pipe::CreateServerInstance(false);
  Check(squat != INVALID_HANDLE_VALUE, "squatter serves the broker pipe name");
  if (squat == INVALID_HANDLE_VALUE) return 1;
  HANDLE client = INVALID_HANDLE_VALUE;
  std::thread connector([&client] { client = orvex::pipe::Connect(3000); });
  const bool connected = orvex::pipe::WaitForClient(squat);
  connector.join();
  Check(connected && client != INVALID_HANDLE_VALUE, "client connects to the squatter");
  // Impersonation needs the client to have sent something first.
  orvex::pipe::WriteFrame(client, "x", 1000);
  std::string payload;
  orvex::pipe::ReadFrame(squat, &payload, 1000);
  SECURITY_IMPERSONATION_LEVEL level = SecurityDelegation;
  bool got = false;
  if (ImpersonateNamedPipeClient(squat)) {
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
      DWORD size = 0;
      got = GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
      CloseHandle(token);
    }
    RevertToSelf();
  }
  std::printf("impersonation level %d (%s)\n", static_cast<int>(level), got ? "read" : "unread");
  // Wine hands every pipe server the same token whatever the client asked for, so the
  // level is shown here, and only real Windows holds it to identification.
  (void)got;
  if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
  CloseHandle(squat);
  return g_failed == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"status") return Status();
  if (command == L"stop") return Stop(false);
  if (command == L"remove") return Stop(true);
  if (command == L"sessions") return Sessions();
  if (command == L"delete") return Delete();
  if (command == L"pipe") return PipeIdentity();
  std::printf("usage: OrvexServiceTest status|stop|remove|sessions|delete|pipe\n");
  return 2;
}
