#include "sync/net/sdk_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "sync/log/logger.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace {

using std::chrono::milliseconds;
using testing::LogCapture;

// Counts its ticks and runs an optional action inside each one.
class ProbeTimer : public SdkTimer {
 public:
  ~ProbeTimer() override { StopTimer(); }
  std::atomic<int> ticks{0};
  std::function<void(ProbeTimer&)> action;

 protected:
  void OnTimer() override {
    ++ticks;
    if (action) action(*this);
  }
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
  const auto end = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

class SdkTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitLogger(Utf8ToWide(logs_.path())));
    log_ = std::make_unique<LogCapture>(logs_.path());
  }
  testing::TempDir logs_;
  std::unique_ptr<LogCapture> log_;
};

TEST_F(SdkTimerTest, TicksEveryPeriodUntilStopped) {
  ProbeTimer timer;
  EXPECT_EQ(-1, timer.Period());
  EXPECT_FALSE(timer.TimerRunning());
  timer.StartTimer(10);
  EXPECT_TRUE(timer.TimerRunning());
  EXPECT_EQ(10, timer.Period());
  timer.StartTimer(5000);  // a running timer is not restarted
  EXPECT_EQ(10, timer.Period());
  ASSERT_TRUE(WaitFor([&] { return timer.ticks >= 3; }));
  timer.StopTimer();
  EXPECT_EQ(-1, timer.Period());
  EXPECT_FALSE(timer.TimerRunning());
  const int seen = timer.ticks;
  std::this_thread::sleep_for(milliseconds(40));
  EXPECT_EQ(seen, timer.ticks);
  EXPECT_EQ(static_cast<size_t>(seen),
            LogCapture::Count(log_->Info(), "SdkTimer::TimerRoutine() enter."));
  EXPECT_EQ(static_cast<size_t>(seen),
            LogCapture::Count(log_->Info(), "SdkTimer::TimerRoutine() exit."));
  timer.StopTimer();  // again: nothing runs, nothing waits
}

TEST_F(SdkTimerTest, ChangeFromInsideTheTickRetimesAndLogsOncePerChange) {
  ProbeTimer timer;
  timer.action = [](ProbeTimer& self) {
    if (self.ticks == 1) self.ChangeTimer(60000);
  };
  // Long enough that a second tick cannot come before the first one retimes the timer.
  timer.StartTimer(40);
  ASSERT_TRUE(WaitFor([&] { return timer.ticks >= 1; }));
  ASSERT_TRUE(WaitFor([&] { return timer.Period() == 60000; }));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(1, timer.ticks);  // the long period now applies
  timer.ChangeTimer(60000);   // same period: no change, no log line
  EXPECT_EQ(1u, LogCapture::Count(log_->Info(), "SdkTimer::ChangeTimer() enter."));

  timer.action = nullptr;
  timer.ChangeTimer(5);
  ASSERT_TRUE(WaitFor([&] { return timer.ticks >= 3; }));
  EXPECT_EQ(2u, LogCapture::Count(log_->Info(), "SdkTimer::ChangeTimer() enter."));
  timer.StopTimer();
}

TEST_F(SdkTimerTest, StopWaitsForARunningTick) {
  ProbeTimer timer;
  std::atomic<bool> inTick{false};
  std::atomic<bool> finished{false};
  timer.action = [&](ProbeTimer& self) {
    if (self.ticks != 1) return;
    inTick = true;
    std::this_thread::sleep_for(milliseconds(150));
    self.ChangeTimer(7);  // a change right before stop must not hang the stop
    finished = true;
  };
  timer.StartTimer(5);
  ASSERT_TRUE(WaitFor([&] { return inTick.load(); }));
  timer.StopTimer();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(timer.TimerRunning());
}

TEST_F(SdkTimerTest, IdleTimerIgnoresChangesAndForeignCalls) {
  ProbeTimer timer;
  timer.ChangeTimer(10);
  EXPECT_EQ(-1, timer.Period());
  EXPECT_FALSE(timer.TimerRunning());
  SdkTimer::TimerRoutine(nullptr, true);
  SdkTimer::TimerRoutine(&timer, false);
  EXPECT_EQ(0, timer.ticks);
  SdkTimer::TimerRoutine(static_cast<SdkTimer*>(&timer), true);
  EXPECT_EQ(1, timer.ticks);
  EXPECT_TRUE(LogCapture::Has(log_->Info(), "SdkTimer::TimerRoutine() exit."));
  EXPECT_EQ(0u, LogCapture::Count(log_->Info(), "SdkTimer::ChangeTimer() enter."));
}

TEST_F(SdkTimerTest, ZeroPeriodFiresOnceAndTimerCanRestartAfterStop) {
  ProbeTimer timer;
  timer.StartTimer(0);
  ASSERT_TRUE(WaitFor([&] { return timer.ticks >= 1; }));
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(1, timer.ticks);
  EXPECT_TRUE(timer.TimerRunning());
  timer.StopTimer();
  timer.StartTimer(5);
  ASSERT_TRUE(WaitFor([&] { return timer.ticks >= 3; }));
}

TEST_F(SdkTimerTest, DestroyingTheOwnerWhileATickRunsWaitsForIt) {
  std::atomic<bool> inTick{false};
  std::atomic<bool> finished{false};
  {
    ProbeTimer timer;
    timer.action = [&](ProbeTimer&) {
      inTick = true;
      std::this_thread::sleep_for(milliseconds(100));
      finished = true;
    };
    timer.StartTimer(5);
    ASSERT_TRUE(WaitFor([&] { return inTick.load(); }));
  }
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace quillet
