#include "service/qzaccountservice.h"

#include <gtest/gtest.h>

#include "service/fake/fake_platform.h"
#include "service/fake/log_capture.h"

namespace orvex {
namespace {

using fake::Step;

const std::u16string kName = u"OrvexCoreService";
const std::u16string kKey = u"\\SOFTWARE\\Orvex Core\\QZID";

class QzAccountServiceTest : public ::testing::Test {
 protected:
  fake::FakePlatform platform;
  fake::LogCapture log;
  QzAccountService service{platform};

  // Runs the service entry as the dispatcher would.
  void StartService() {
    EXPECT_EQ(service.wWinMain(u""), 0);
    platform.RunThreads();
    platform.reports.clear();
  }
  uint32_t Session(uint32_t event, uint32_t sessionId) {
    SessionNotification notification{sizeof(SessionNotification), sessionId};
    return platform.handler(win::kControlSessionChange, event, &notification);
  }
};

TEST_F(QzAccountServiceTest, OnlyTheExactStartCommandInstalls) {
  for (const char16_t* command : {u"start", u" START", u"START ", u"START\t", u"", u"STAR"}) {
    fake::FakePlatform other;
    QzAccountService program(other);
    EXPECT_EQ(program.wWinMain(command), 0);
    EXPECT_EQ(other.CountCalls("StartServiceCtrlDispatcher OrvexCoreService"), 1u);
    EXPECT_EQ(other.CountCalls("CreateService"), 0u);
  }
  fake::FakePlatform other;
  QzAccountService program(other);
  EXPECT_EQ(program.wWinMain(nullptr), 0);
  EXPECT_EQ(other.CountCalls("StartServiceCtrlDispatcher"), 1u);

  EXPECT_EQ(service.wWinMain(u"START"), 0);
  EXPECT_EQ(platform.CountCalls("StartServiceCtrlDispatcher"), 0u);
  EXPECT_EQ(platform.CountCalls("CreateService"), 1u);
  EXPECT_EQ(platform.CountCalls("StartService"), 1u);
  EXPECT_EQ(log.messages().back(), "Service started successfully.(DoStartSvc)");
}

TEST_F(QzAccountServiceTest, StartReplacesAnInstalledService) {
  // The old service's process ends 600 ms after it reports "stopped": until then the
  // deleted service is only marked for deletion and its name cannot be created again.
  platform.Install(kName, Step{win::kServiceRunning, 0, 9000}).processExitDelayMs = 600;
  EXPECT_EQ(service.wWinMain(u"START"), 0);
  // 1073, then 1072 at once and after 250 and 500 ms, created after 750 ms.
  EXPECT_EQ(platform.CountCalls("CreateService"), 5u);
  EXPECT_EQ(platform.sleeps, (std::vector<uint32_t>{250, 250, 250}));
  EXPECT_EQ(platform.CountCalls("DeleteService"), 1u);
  EXPECT_EQ(platform.services[kName].current.state, win::kServiceRunning);
  EXPECT_FALSE(platform.services[kName].markedForDelete);
  EXPECT_EQ(
      log.messages(),
      (std::vector<std::string>{
          "CreateService failed(SvcInstall)", "Service stopped successfully(DoStopSvc)",
          "Service deleted successfully(DoDeleteSvc)",
          "Service marked for deletion, waiting(SvcInstall)",
          "Service installed successfully\n(SvcInstall)", "Service start pending...(DoStartSvc)",
          "Service started successfully.(DoStartSvc)"}));
  EXPECT_EQ(platform.OpenHandles(), 0u);
}

TEST_F(QzAccountServiceTest, AServiceThatNeverGoesAwayEndsInAnInstallErrorWithinBoundedTime) {
  // A process that outlives its stop for good keeps the old service marked for deletion.
  platform.Install(kName, Step{win::kServiceRunning, 0, 9000}).processExitDelayMs = 0xFFFFFFFFu;
  EXPECT_EQ(service.wWinMain(u"START"), 0);
  // Attempts two and three each wait 10 s in 250 ms steps; nothing is started.
  EXPECT_EQ(platform.sleeps, std::vector<uint32_t>(80, 250));
  EXPECT_EQ(platform.CountCalls("CreateService"), 1u + 2u * 41u);
  EXPECT_EQ(platform.CountCalls("StartService"), 0u);
  EXPECT_EQ(log.messages().back(), "Service Install Error...(wWinMain)");
  EXPECT_TRUE(platform.services[kName].markedForDelete);
}

TEST_F(QzAccountServiceTest, ThirdAttemptMaySucceedButThreeFailuresGiveUp) {
  platform.createErrors = {5, 1073, 0};
  service.wWinMain(u"START");
  EXPECT_EQ(platform.CountCalls("CreateService"), 3u);
  EXPECT_EQ(platform.CountCalls("StartService"), 1u);

  fake::FakePlatform other;
  other.createErrors = {1073, 87, 1073};
  QzAccountService program(other);
  fake::LogCapture otherLog;
  program.wWinMain(u"START");
  EXPECT_EQ(other.CountCalls("CreateService"), 3u);
  EXPECT_EQ(other.CountCalls("StartService"), 0u);
  // Stop and delete only after "service exists"; nothing was installed to act on.
  EXPECT_EQ(other.CountCalls("OpenSCManager"), 3u + 2u * 2u);
  EXPECT_EQ(otherLog.messages().back(), "Service Install Error...(wWinMain)");
}

TEST_F(QzAccountServiceTest, ActsvcEntryIsCreatedOnceAndNeverOverwritten) {
  service.wWinMain(u"");
  EXPECT_EQ(platform.registry[kKey][u"actsvc"], u"C:\\Orvex\\OrvexCoreService.exe");
  EXPECT_EQ(platform.calls.front(), "IsExistRegKey \\SOFTWARE\\Orvex Core\\QZID actsvc");
  EXPECT_EQ(platform.CountCalls("GetValue actsvc 0xf003f"), 1u);
  EXPECT_EQ(platform.CountCalls("SetValue actsvc 0xf003f"), 1u);

  fake::FakePlatform moved;
  moved.registry[kKey][u"actsvc"] = u"D:\\elsewhere.exe";
  QzAccountService program(moved);
  program.wWinMain(u"");
  EXPECT_EQ(moved.registry[kKey][u"actsvc"], u"D:\\elsewhere.exe");
  EXPECT_EQ(moved.CountCalls("CreateRegKey") + moved.CountCalls("GetValue") +
                moved.CountCalls("SetValue"),
            0u);
}

TEST_F(QzAccountServiceTest, ActsvcIsNotWrittenWithoutTheOwnPath) {
  platform.failModulePath = true;
  service.wWinMain(u"");
  EXPECT_EQ(platform.CountCalls("SetValue"), 0u);
}

TEST_F(QzAccountServiceTest, ServiceMainReportsRunningAndWorkerStartsThePlugin) {
  service.wWinMain(u"");
  EXPECT_EQ(platform.CountCalls("RegisterServiceCtrlHandlerEx OrvexCoreService"), 1u);
  ASSERT_EQ(platform.reports.size(), 1u);
  const ServiceStatus& running = platform.reports[0];
  EXPECT_EQ(running.serviceType, 0x30u);
  EXPECT_EQ(running.currentState, win::kServiceRunning);
  EXPECT_EQ(running.controlsAccepted, 0x87u);
  EXPECT_EQ(running.win32ExitCode, 0u);
  EXPECT_EQ(running.serviceSpecificExitCode, 0u);
  EXPECT_EQ(running.checkPoint, 0u);
  EXPECT_EQ(running.waitHint, 9000u);

  EXPECT_EQ(service.plugin(), nullptr);  // the worker has not run yet
  ASSERT_EQ(platform.threads.size(), 1u);
  EXPECT_EQ(platform.threads[0](), 1u);
  EXPECT_EQ(platform.messageServerStarts, 1);
  ASSERT_NE(service.plugin(), nullptr);
  EXPECT_NE(service.plugin()->service(), nullptr);
  EXPECT_EQ(platform.accountCalls, (std::vector<std::string>{"Init", "BeginWork"}));
}

TEST_F(QzAccountServiceTest, PluginThatCannotBeCreatedLeavesServiceRunning) {
  platform.failAccountService = true;
  AccountServicePluginImpl plugin(platform);
  EXPECT_EQ(plugin.start(), 1);
  EXPECT_EQ(plugin.service(), nullptr);
  plugin.Init();  // harmless without a plugin object
  plugin.InitSession();

  StartService();
  EXPECT_EQ(service.status().currentState, win::kServiceRunning);
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(QzAccountServiceTest, StopAndShutdownReportStopped) {
  for (uint32_t control : {win::kControlStop, win::kControlShutdown}) {
    fake::FakePlatform other;
    QzAccountService program(other);
    program.wWinMain(u"");
    EXPECT_EQ(other.handler(control, 0, nullptr), 0u);
    ASSERT_EQ(other.reports.size(), 2u);
    EXPECT_EQ(other.reports[1].currentState, win::kServiceStopped);
    EXPECT_EQ(other.reports[1].waitHint, 0u);
    EXPECT_EQ(other.reports[1].controlsAccepted, 0x87u);
    EXPECT_EQ(other.reports[1].serviceType, 0x30u);
  }
}

TEST_F(QzAccountServiceTest, PauseContinueAndInterrogateChangeNothing) {
  StartService();
  for (uint32_t control : {win::kControlPause, win::kControlContinue, win::kControlInterrogate})
    EXPECT_EQ(platform.handler(control, 0, nullptr), 0u);
  EXPECT_TRUE(platform.reports.empty());
  EXPECT_EQ(service.status().currentState, win::kServiceRunning);
}

TEST_F(QzAccountServiceTest, LockAndUnlockOfTheSameSessionSendsNothing) {
  StartService();
  EXPECT_EQ(Session(win::kWtsSessionLock, 3), 0u);
  EXPECT_EQ(Session(win::kWtsSessionUnlock, 3), 0u);
  EXPECT_TRUE(platform.sent.empty());
  EXPECT_EQ(platform.CountCalls("NewIpcClient"), 0u);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].level, log4cplus::WARN_LOG_LEVEL);
  EXPECT_EQ(log.lines()[0].message,
            "curSessionId is equal to lastSessionId, lastSessionId=3(ServiceOnLogonWindows)");
  EXPECT_EQ(platform.reports.size(), 2u);  // each session event reports the status again
}

TEST_F(QzAccountServiceTest, LogonOfAnotherSessionSendsTheLogout) {
  StartService();
  Session(win::kWtsSessionLock, 1);   // user A locks
  Session(win::kWtsSessionLogon, 2);  // user B logs on
  ASSERT_EQ(platform.sent.size(), 1u);
  const fake::SentMessage& message = platform.sent[0];
  EXPECT_EQ(message.endpoint, 0x700000u);
  EXPECT_TRUE(message.sync);
  EXPECT_FALSE(message.broadcast);
  EXPECT_EQ(message.item.msgClass, 0x80000u);
  EXPECT_EQ(message.item.destination, 0x700000u);
  EXPECT_EQ(message.item.command, 0x80018u);
  EXPECT_EQ(message.item.param, 0u);
  EXPECT_EQ(message.item.sequence, -1);
  EXPECT_EQ(message.item.reserved1, 0u);
  EXPECT_EQ(message.item.reserved2, 0u);
  EXPECT_EQ(message.item.data, 0u);
  EXPECT_TRUE(message.item.needReply);
  EXPECT_EQ(message.flags, 0);
  EXPECT_EQ(message.timeoutMs, 3000u);
  for (uint8_t byte : message.reply.token) EXPECT_EQ(byte, 0xFF);
  EXPECT_EQ(message.reply.status, -1);
  EXPECT_EQ(message.reply.code, 0);
  EXPECT_TRUE(message.reply.text.empty());
  EXPECT_EQ(service.lastSessionId(), 1u);  // a logon does not move it
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(QzAccountServiceTest, SessionIdFollowsDisconnectLogoffAndLock) {
  StartService();
  Session(win::kWtsSessionUnlock, 4);  // first unlock after start: stored id is 0
  EXPECT_EQ(platform.sent.size(), 1u);
  Session(win::kWtsConsoleDisconnect, 5);
  Session(win::kWtsSessionLogon, 5);
  Session(win::kWtsSessionLogoff, 6);
  Session(win::kWtsSessionUnlock, 6);
  EXPECT_EQ(platform.sent.size(), 1u);
  EXPECT_EQ(
      log.Count("curSessionId is equal to lastSessionId, lastSessionId=5(ServiceOnLogonWindows)"),
      1u);
  EXPECT_EQ(
      log.Count("curSessionId is equal to lastSessionId, lastSessionId=6(ServiceOnLogonWindows)"),
      1u);

  // Connect and remote events change nothing but are answered with a status report.
  platform.reports.clear();
  for (uint32_t event :
       {win::kWtsConsoleConnect, win::kWtsRemoteConnect, win::kWtsRemoteDisconnect, 9u})
    Session(event, 9);
  EXPECT_EQ(service.lastSessionId(), 6u);
  EXPECT_EQ(platform.reports.size(), 4u);
  EXPECT_EQ(platform.sent.size(), 1u);
  EXPECT_EQ(platform.reports.back().currentState, win::kServiceRunning);
}

TEST_F(QzAccountServiceTest, UndeliveredLogoutIsLoggedOnceAsError) {
  StartService();
  platform.sendResult = false;
  Session(win::kWtsSessionLogon, 2);
  EXPECT_EQ(platform.sent.size(), 1u);  // not retried
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].level, log4cplus::ERROR_LOG_LEVEL);
  EXPECT_EQ(log.lines()[0].message, "logout IPC send result error(ServiceOnLogonWindows)");

  platform.failIpcClient = true;  // no client: no message, nothing logged
  Session(win::kWtsSessionLogon, 3);
  EXPECT_EQ(platform.sent.size(), 1u);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(QzAccountServiceTest, SessionEventWithoutNotificationIsOnlyReported) {
  StartService();
  EXPECT_EQ(platform.handler(win::kControlSessionChange, win::kWtsSessionLogon, nullptr), 0u);
  EXPECT_EQ(platform.handler(win::kControlSessionChange, win::kWtsSessionLock, nullptr), 0u);
  EXPECT_TRUE(platform.sent.empty());
  EXPECT_EQ(service.lastSessionId(), 0u);
  EXPECT_EQ(platform.reports.size(), 2u);
}

}  // namespace
}  // namespace orvex
