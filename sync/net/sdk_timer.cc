#include "sync/net/sdk_timer.h"

#include <cstdint>

#include "sync/log/logger.h"

namespace quillet {

SdkTimer::~SdkTimer() { StopTimer(); }

void SdkTimer::StartTimer(int periodMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_ != nullptr || timer_ != nullptr) return;
  queue_ = platform::CreateTimerQueue();
  if (queue_ == nullptr) return;
  period_ = periodMs;
  // The system takes unsigned times: a negative period is a very long one there too.
  const uint32_t ms = static_cast<uint32_t>(periodMs);
  timer_ = platform::CreateQueueTimer(queue_, &SdkTimer::TimerRoutine, this, ms, ms);
  if (timer_ == nullptr) {
    platform::DeleteTimerQueue(queue_);
    queue_ = nullptr;
    period_ = -1;
  }
}

void SdkTimer::ChangeTimer(int periodMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_ == nullptr || timer_ == nullptr || periodMs == period_) return;
    const uint32_t ms = static_cast<uint32_t>(periodMs);
    platform::ChangeQueueTimer(queue_, timer_, ms, ms);
    period_ = periodMs;
  }
  LogInfo(u"SdkTimer::ChangeTimer() enter.");
}

void SdkTimer::StopTimer() {
  platform::TimerQueue* queue;
  platform::QueueTimer* timer;
  {
    // Taken out first so that a tick calling ChangeTimer while we wait below finds no timer
    // and never touches one that is being deleted.
    std::lock_guard<std::mutex> lock(mutex_);
    queue = queue_;
    timer = timer_;
    queue_ = nullptr;
    timer_ = nullptr;
    period_ = -1;
  }
  if (timer != nullptr) platform::DeleteQueueTimer(queue, timer);
  if (queue != nullptr) platform::DeleteTimerQueue(queue);
}

int SdkTimer::Period() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return period_;
}

bool SdkTimer::TimerRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_ != nullptr && timer_ != nullptr;
}

void SdkTimer::TimerRoutine(void* parameter, bool fired) {
  if (!fired || parameter == nullptr) return;
  LogInfo(u"SdkTimer::TimerRoutine() enter.");
  static_cast<SdkTimer*>(parameter)->OnTimer();
  LogInfo(u"SdkTimer::TimerRoutine() exit.");
  FlushLogs();  // the next tick may be minutes away
}

}  // namespace quillet
