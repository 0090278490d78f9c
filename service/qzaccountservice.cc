#include "service/qzaccountservice.h"

#include <log4cplus/initializer.h>

#include <cstring>
#include <string>

#include "service/components/logger/process_logger.h"
#include "service/service_identity.h"

namespace orvex {

int AccountServicePluginImpl::start() {
  std::unique_ptr<AccountServiceApi> service = platform_.NewAccountService();
  if (!service) return 1;
  m_accountService = std::move(service);
  m_accountService->Init();
  m_accountService->BeginWork();
  return 0;
}

void AccountServicePluginImpl::Init() {
  if (m_accountService) m_accountService->Init();
}

void AccountServicePluginImpl::InitSession() {
  if (m_accountService) m_accountService->InitSession();
}

QzAccountService::~QzAccountService() { delete plugin_.load(); }

int QzAccountService::wWinMain(const char16_t* commandLine) {
  log4cplus::Initializer initializer;
  InitProcessLogger(kLoggerName);
  EnsureActsvcEntry();

  // Exactly "START": no trimming, case matters.
  const std::u16string command = commandLine != nullptr ? commandLine : u"";
  if (command == u"START") {
    bool installed = false;
    for (int attempt = 0; attempt < 3 && !installed; ++attempt) {
      const uint32_t result = controller_.SvcInstall();
      installed = result == 0;
      if (result == win::kErrorServiceExists) {
        controller_.DoStopSvc();
        controller_.DoDeleteSvc();
      }
    }
    if (installed) {
      controller_.DoStartSvc();
    } else {
      ORVEX_WARN("Service Install Error...");
    }
  } else {
    platform_.StartServiceCtrlDispatcher(kServiceName, [this] { ServiceMain(); });
  }
  return 0;
}

void QzAccountService::EnsureActsvcEntry() {
  if (platform_.IsExistRegKey(kActsvcKey, kActsvcName)) return;
  platform_.CreateRegKey(kActsvcKey, kActsvcName16);
  std::u16string stored;
  platform_.GetValue(kActsvcKey, kActsvcName16, &stored, win::kKeyAllAccess);
  std::u16string path;
  // Without its own path the program has nothing true to store.
  if (!platform_.GetModuleFileName(kMaxPath, &path)) return;
  if (stored != path) platform_.SetValue(kActsvcKey, kActsvcName16, path, win::kKeyAllAccess);
}

void QzAccountService::ServiceMain() {
  status_ = ServiceStatus();
  status_.serviceType = win::kServiceWin32;
  status_.currentState = win::kServiceStartPending;
  status_.controlsAccepted = win::kAcceptStop | win::kAcceptPauseContinue | win::kAcceptShutdown |
                             win::kAcceptSessionChange;

  statusHandle_ = platform_.RegisterServiceCtrlHandlerEx(
      kServiceName, [this](uint32_t control, uint32_t eventType, const void* eventData) {
        return ServiceCtrlHandler(control, eventType, eventData);
      });
  platform_.CreateThread([this] { return ServiceWorkerThread(); });

  status_.currentState = win::kServiceRunning;
  status_.checkPoint = 0;
  status_.waitHint = 9000;
  platform_.SetServiceStatus(statusHandle_, status_);
}

uint32_t QzAccountService::ServiceCtrlHandler(uint32_t control, uint32_t eventType,
                                              const void* eventData) {
  switch (control) {
    case win::kControlStop:
    case win::kControlShutdown:
      status_.currentState = win::kServiceStopped;
      status_.win32ExitCode = 0;
      status_.checkPoint = 0;
      status_.waitHint = 0;
      platform_.SetServiceStatus(statusHandle_, status_);
      break;
    case win::kControlSessionChange: {
      // A session event without its notification carries no id to act on.
      const SessionNotification* notification = static_cast<const SessionNotification*>(eventData);
      switch (eventType) {
        case win::kWtsConsoleDisconnect:
        case win::kWtsSessionLogoff:
        case win::kWtsSessionLock:
          if (notification != nullptr) lastSessionId_ = notification->sessionId;
          break;
        case win::kWtsSessionLogon:
        case win::kWtsSessionUnlock:
          if (notification != nullptr) ServiceOnLogonWindows(eventType, notification);
          break;
        default:
          break;
      }
      platform_.SetServiceStatus(statusHandle_, status_);
      break;
    }
    default:
      break;  // pause, continue and interrogate change nothing
  }
  return win::kNoError;
}

void QzAccountService::ServiceOnLogonWindows(uint32_t /*eventType*/,
                                             const SessionNotification*& notification) {
  const uint32_t curSessionId = notification->sessionId;
  if (curSessionId == lastSessionId_) {
    ORVEX_LOG(WARN, LOG4CPLUS_TEXT("curSessionId is equal to lastSessionId, lastSessionId=")
                        << lastSessionId_);
    return;
  }
  std::unique_ptr<IpcClientApi> client =
      platform_.NewIpcClient(kAccountServiceEndpoint, true, false);
  if (!client) return;

  TagIPCMessageItem item;
  item.msgClass = kAccountMessageClass;
  item.destination = kAccountServiceEndpoint;
  item.command = kLogoutCommand;
  item.param = 0;
  item.sequence = -1;
  item.reserved1 = 0;
  item.reserved2 = 0;
  item.data = 0;
  item.needReply = true;

  TagIPCMessageItemRecv reply;
  std::memset(reply.token, 0xFF, sizeof(reply.token));
  reply.status = -1;
  reply.code = 0;

  if (!client->SendIPCMessage(item, 0, reply, 3000)) {
    ORVEX_ERROR("logout IPC send result error");
  }
}

uint32_t QzAccountService::ServiceWorkerThread() {
  platform_.StartMessageServer();
  AccountServicePluginImpl* plugin = new AccountServicePluginImpl(platform_);
  plugin_.store(plugin);
  plugin->start();
  return 1;
}

}  // namespace orvex
