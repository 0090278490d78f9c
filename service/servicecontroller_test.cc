#include "service/servicecontroller.h"

#include <gtest/gtest.h>

#include "service/fake/fake_platform.h"
#include "service/fake/log_capture.h"

namespace orvex {
namespace {

using fake::Step;

const std::u16string kName = u"OrvexCoreService";

class ServiceControllerTest : public ::testing::Test {
 protected:
  fake::FakePlatform platform;
  fake::LogCapture log;
  ServiceController controller{platform};

  void TearDown() override { EXPECT_EQ(platform.OpenHandles(), 0u) << "handle leaked"; }
};

TEST_F(ServiceControllerTest, InstallCreatesAutoStartOwnProcessServiceAtOwnPath) {
  EXPECT_EQ(controller.SvcInstall(), 0u);
  ASSERT_EQ(platform.services.count(kName), 1u);
  const ServiceConfig& config = platform.services[kName].config;
  EXPECT_EQ(config.displayName, kName);
  EXPECT_EQ(config.desiredAccess, 0xF01FFu);
  EXPECT_EQ(config.serviceType, 0x10u);
  EXPECT_EQ(config.startType, 2u);
  EXPECT_EQ(config.errorControl, 1u);
  EXPECT_EQ(config.binaryPath, u"C:\\Orvex\\OrvexCoreService.exe");
  EXPECT_EQ(platform.calls.front(), "GetModuleFileName");
  EXPECT_EQ(platform.calls[1], "OpenSCManager 0xf003f");
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"Service installed successfully\n(SvcInstall)"});
  EXPECT_EQ(log.lines()[0].level, log4cplus::WARN_LOG_LEVEL);
}

TEST_F(ServiceControllerTest, InstallQuotesAPathWithBlanks) {
  platform.modulePath = u"C:\\Program Files\\Orvex Core\\OrvexCoreService.exe";
  EXPECT_EQ(controller.SvcInstall(), 0u);
  EXPECT_EQ(platform.services[kName].config.binaryPath,
            u"\"C:\\Program Files\\Orvex Core\\OrvexCoreService.exe\"");
}

TEST_F(ServiceControllerTest, InstallFailuresReturnTheirCodes) {
  platform.failModulePath = true;
  EXPECT_EQ(controller.SvcInstall(), 123u);
  EXPECT_EQ(platform.CountCalls("OpenSCManager"), 0u);

  // A path that needs the whole 260-character buffer comes back truncated from Windows.
  platform.failModulePath = false;
  platform.modulePath = u"C:\\" + std::u16string(257, u'a');
  EXPECT_EQ(controller.SvcInstall(), 123u);

  platform.modulePath = u"C:\\svc.exe";
  platform.failOpenSCManager = true;
  EXPECT_EQ(controller.SvcInstall(), 5u);

  platform.failOpenSCManager = false;
  platform.Install(kName, Step{});
  EXPECT_EQ(controller.SvcInstall(), 1073u);
  platform.createErrors = {1078};
  EXPECT_EQ(controller.SvcInstall(), 1078u);

  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{
                "Cannot install service(SvcInstall)", "Cannot install service(SvcInstall)",
                "OpenSCManager failed(SvcInstall)", "CreateService failed(SvcInstall)",
                "CreateService failed(SvcInstall)"}));
}

TEST_F(ServiceControllerTest, StartOnRunningServiceOnlyLogs) {
  platform.Install(kName, Step{win::kServiceRunning, 0, 9000});
  controller.DoStartSvc();
  EXPECT_EQ(platform.CountCalls("StartService"), 0u);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{
                "Cannot start the service because it is already running(DoStartSvc)"});
}

TEST_F(ServiceControllerTest, StartWaitsForStopPendingThenStarts) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceStopPending, 0, 0});
  // Wait hint 0: polled every second while the check point moves.
  service.script = {
      Step{win::kServiceStopPending, 0, 0},     Step{win::kServiceStopPending, 1, 0},
      Step{win::kServiceStopPending, 2, 0},     Step{win::kServiceStopped, 2, 0},
      Step{win::kServiceStartPending, 0, 2000}, Step{win::kServiceStartPending, 1, 2000},
      Step{win::kServiceRunning, 0, 0}};
  controller.DoStartSvc();
  EXPECT_EQ(platform.sleeps, (std::vector<uint32_t>{1000, 1000, 1000, 1000, 1000}));
  EXPECT_EQ(platform.CountCalls("StartService"), 1u);
  EXPECT_EQ(platform.calls[1], "OpenService OrvexCoreService 0xf01ff");
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Service start pending...(DoStartSvc)",
                                      "Service started successfully.(DoStartSvc)"}));
}

TEST_F(ServiceControllerTest, StartGivesUpWhenStopPendingCheckPointStalls) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceStopPending, 5, 250000});
  service.script.assign(100, Step{win::kServiceStopPending, 5, 250000});
  controller.DoStartSvc();
  // A tenth of 250 s is capped at 10 s; 26 polls pass the 250 s hint.
  EXPECT_EQ(platform.sleeps, std::vector<uint32_t>(26, 10000));
  EXPECT_EQ(platform.CountCalls("StartService"), 0u);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"Timeout waiting for service to stop\n(DoStartSvc)"});
}

TEST_F(ServiceControllerTest, StartedButStuckInStartPendingIsReportedNotStarted) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceStopped, 0, 0});
  service.afterStart = Step{win::kServiceStartPending, 3, 30000};
  controller.DoStartSvc();
  EXPECT_EQ(platform.sleeps, std::vector<uint32_t>(11, 3000));
  EXPECT_EQ(log.messages().back(), "Service not started.(DoStartSvc)");
}

TEST_F(ServiceControllerTest, StartPollingSurvivesTickCountWrap) {
  platform.now = 0xFFFFF800u;  // about 2 s before GetTickCount wraps to 0
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceStopped, 0, 0});
  const Step pending{win::kServiceStartPending, 0, 8000};
  service.script = {Step{win::kServiceStopped, 0, 0}, pending, pending, pending, pending,
                    Step{win::kServiceRunning, 0, 0}};
  controller.DoStartSvc();
  EXPECT_EQ(log.messages().back(), "Service started successfully.(DoStartSvc)");
}

TEST_F(ServiceControllerTest, StartFailuresEndEarly) {
  controller.DoStartSvc();  // not installed
  platform.Install(kName, Step{}).failing = {"start"};
  controller.DoStartSvc();
  platform.failOpenSCManager = true;
  controller.DoStartSvc();
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "OpenService failed(DoStartSvc)", "StartService failed(DoStartSvc)",
                                "DoStartSvc()::OpenSCManager failed(DoStartSvc)"}));
}

TEST_F(ServiceControllerTest, StopRunningServiceStopsDependentsFirst) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceRunning, 0, 9000});
  service.dependents = {u"DepA", u"DepB", u"DepStopped"};
  platform.Install(u"DepA", Step{win::kServiceRunning, 0, 0}).afterStop =
      Step{win::kServiceStopPending, 1, 500};
  platform.services[u"DepA"].script = {Step{win::kServiceStopped, 0, 0}};
  platform.Install(u"DepB", Step{win::kServiceRunning, 0, 0});
  platform.Install(u"DepStopped", Step{win::kServiceStopped, 0, 0});
  service.afterStop = Step{win::kServiceStopPending, 1, 2000};
  service.script = {Step{win::kServiceRunning, 0, 9000}, Step{win::kServiceStopped, 0, 0}};

  controller.DoStopSvc();

  EXPECT_EQ(platform.calls[1], "OpenService OrvexCoreService 0x2c");
  std::vector<std::string> controls;
  for (const std::string& call : platform.calls)
    if (call.rfind("ControlService", 0) == 0) controls.push_back(call);
  EXPECT_EQ(controls, (std::vector<std::string>{"ControlService 1 DepA", "ControlService 1 DepB",
                                                "ControlService 1 OrvexCoreService"}));
  EXPECT_EQ(platform.CountCalls("OpenService DepA 0x24"), 1u);
  EXPECT_EQ(platform.sleeps, (std::vector<uint32_t>{500, 2000}));  // full wait hints
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Service stopped successfully(DoStopSvc)"});
}

TEST_F(ServiceControllerTest, StopAlreadyStoppedOrPending) {
  platform.Install(kName, Step{win::kServiceStopped, 0, 0});
  controller.DoStopSvc();
  fake::FakeService& service = platform.services[kName];
  service.current = Step{win::kServiceStopPending, 0, 50000};
  service.script = {Step{win::kServiceStopPending, 1, 50000},
                    Step{win::kServiceStopPending, 2, 50000}, Step{win::kServiceStopped, 0, 0}};
  controller.DoStopSvc();
  EXPECT_EQ(platform.sleeps, (std::vector<uint32_t>{5000, 5000}));
  EXPECT_EQ(platform.CountCalls("ControlService"), 0u);
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{
                "Service is already stopped(DoStopSvc)", "Service stop pending...(DoStopSvc)",
                "Service stop pending...(DoStopSvc)", "Service stopped successfully.(DoStopSvc)"}));
}

TEST_F(ServiceControllerTest, StopPendingForeverTimesOutAfterThirtySeconds) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceStopPending, 0, 0});
  service.script.assign(100, Step{win::kServiceStopPending, 0, 0});
  controller.DoStopSvc();
  EXPECT_EQ(platform.sleeps, std::vector<uint32_t>(31, 1000));
  EXPECT_EQ(log.messages().back(), "Service stop timed out.(DoStopSvc)");
}

TEST_F(ServiceControllerTest, StopWithZeroWaitHintPollsUntilBudgetIsUsed) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceRunning, 0, 9000});
  service.afterStop = Step{win::kServiceStopPending, 0, 0};
  service.script.assign(40000, Step{win::kServiceStopPending, 0, 0});
  service.script.front() = Step{win::kServiceRunning, 0, 9000};
  platform.queryCostMs = 1;  // time passes only through the queries themselves
  controller.DoStopSvc();
  ASSERT_FALSE(platform.sleeps.empty());
  for (uint32_t ms : platform.sleeps) ASSERT_EQ(ms, 0u);
  EXPECT_GE(platform.now, 30000u);
  EXPECT_LE(platform.now, 30002u);
  EXPECT_EQ(log.messages().back(), "Wait timed out(DoStopSvc)");
}

TEST_F(ServiceControllerTest, StopSleepNeverRunsFarPastTheBudget) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceRunning, 0, 0});
  service.afterStop = Step{win::kServiceStopPending, 0, 0xFFFFFFF0u};
  service.script.assign(10, Step{win::kServiceStopPending, 0, 0xFFFFFFF0u});
  service.script.front() = Step{win::kServiceRunning, 0, 0};
  controller.DoStopSvc();
  EXPECT_EQ(platform.sleeps, std::vector<uint32_t>{30001});
  EXPECT_EQ(log.messages().back(), "Wait timed out(DoStopSvc)");
}

TEST_F(ServiceControllerTest, ADependentThatWillNotStopKeepsTheServiceRunning) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceRunning, 0, 0});
  service.dependents = {u"DepA", u"DepB"};
  platform.Install(u"DepA", Step{win::kServiceRunning, 0, 0}).failing = {"control"};
  platform.Install(u"DepB", Step{win::kServiceRunning, 0, 0});
  controller.DoStopSvc();
  EXPECT_EQ(platform.CountCalls("ControlService 1 DepB"), 0u);  // gave up at DepA
  // Windows refuses the stop while dependents run (1051); the failure is logged.
  EXPECT_EQ(platform.CountCalls("ControlService 1 OrvexCoreService"), 1u);
  EXPECT_EQ(platform.LastError(), win::kErrorDependentServicesRunning);
  EXPECT_EQ(platform.services[kName].current.state, win::kServiceRunning);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"ControlService failed(DoStopSvc)"});
  EXPECT_EQ(platform.OpenHandles(), 0u);
}

TEST_F(ServiceControllerTest, InstallWaitsWhileTheOldServiceIsMarkedForDeletion) {
  platform.createErrors = {1072, 1072, 1072, 0};
  EXPECT_EQ(controller.SvcInstall(), 0u);
  EXPECT_EQ(platform.CountCalls("CreateService"), 4u);
  EXPECT_EQ(platform.sleeps, (std::vector<uint32_t>{250, 250, 250}));
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"Service marked for deletion, waiting(SvcInstall)",
                                      "Service installed successfully\n(SvcInstall)"}));

  // At most 10 s of waiting, then the error is returned like any other.
  fake::FakePlatform other;
  ServiceController otherController(other);
  other.createErrors.assign(100, 1072);
  fake::LogCapture otherLog;
  EXPECT_EQ(otherController.SvcInstall(), 1072u);
  EXPECT_EQ(other.sleeps, std::vector<uint32_t>(40, 250));
  EXPECT_EQ(other.CountCalls("CreateService"), 41u);
  EXPECT_EQ(otherLog.messages().back(), "CreateService failed(SvcInstall)");
  EXPECT_EQ(other.OpenHandles(), 0u);
}

TEST_F(ServiceControllerTest, DeletedServiceLastsUntilItsProcessEndsAndHandlesClose) {
  platform.Install(kName, Step{win::kServiceRunning, 0, 0}).processExitDelayMs = 100;
  const Handle manager = platform.OpenSCManager(win::kScManagerAllAccess);
  const Handle held = platform.OpenService(manager, kName, win::kServiceQueryStatus);
  controller.DoDeleteSvc();
  ASSERT_EQ(platform.services.count(kName), 1u);  // running, and a handle is open
  EXPECT_TRUE(platform.services[kName].markedForDelete);
  EXPECT_EQ(controller.SvcInstall(), 1072u);  // still running: 10 s of waiting in vain

  controller.DoStopSvc();  // stopping is still allowed
  platform.CloseServiceHandle(held);
  EXPECT_EQ(platform.services.count(kName), 1u);  // the process has not ended yet
  platform.Sleep(100);
  EXPECT_EQ(platform.services.count(kName), 0u);
  EXPECT_EQ(controller.SvcInstall(), 0u);
  platform.CloseServiceHandle(manager);
}

TEST_F(ServiceControllerTest, StopDependentServicesResults) {
  fake::FakeService& service = platform.Install(kName, Step{win::kServiceRunning, 0, 0});
  const Handle manager = platform.OpenSCManager(win::kScManagerAllAccess);
  const Handle handle = platform.OpenService(manager, kName, 0x2C);

  EXPECT_TRUE(controller.StopDependentServices(manager, handle));  // none
  EXPECT_EQ(platform.CountCalls("EnumDependentServices"), 1u);

  service.dependents = {u"Slow"};
  platform.Install(u"Slow", Step{win::kServiceRunning, 0, 0}).afterStop =
      Step{win::kServiceStopPending, 0, 20000};
  platform.services[u"Slow"].script.assign(5, Step{win::kServiceStopPending, 0, 20000});
  EXPECT_FALSE(controller.StopDependentServices(manager, handle));  // past 30 s
  EXPECT_EQ(platform.CountCalls("EnumDependentServices 64"), 1u);   // second call, sized

  platform.failEnum = true;
  EXPECT_FALSE(controller.StopDependentServices(manager, handle));
  platform.failEnum = false;
  platform.services[u"Slow"].failing = {"open"};
  EXPECT_FALSE(controller.StopDependentServices(manager, handle));

  platform.CloseServiceHandle(handle);
  platform.CloseServiceHandle(manager);
}

TEST_F(ServiceControllerTest, DeleteService) {
  platform.Install(kName, Step{}).failing = {"delete"};
  controller.DoDeleteSvc();
  platform.services[kName].failing.clear();
  controller.DoDeleteSvc();
  EXPECT_EQ(platform.services.count(kName), 0u);
  controller.DoDeleteSvc();
  platform.failOpenSCManager = true;
  controller.DoDeleteSvc();
  EXPECT_EQ(platform.calls[1], "OpenService OrvexCoreService 0x10000");
  EXPECT_EQ(
      log.messages(),
      (std::vector<std::string>{
          "DeleteService failed(DoDeleteSvc)", "Service deleted successfully(DoDeleteSvc)",
          "OpenService failed(DoDeleteSvc)", "DoDeleteSvc::OpenSCManager failed(DoDeleteSvc)"}));
}

}  // namespace
}  // namespace orvex
