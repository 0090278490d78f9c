// POSIX timer queue: each timer is one thread waiting on a condition variable, so ticks of
// one timer never overlap. A change wakes the thread, which then waits for the new expiry.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "sync/platform/timer_queue.h"

namespace quillet {
namespace platform {

using Clock = std::chrono::steady_clock;

struct QueueTimer {
  TimerCallback callback = nullptr;
  void* parameter = nullptr;

  std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  Clock::time_point next;
  uint32_t period = 0;
  bool idle = false;     // a one-shot timer that has fired
  bool changed = false;  // next/period were replaced while the thread waited or ticked
  bool stop = false;
  bool orphaned = false;  // deleted from its own callback: the thread frees the timer
  std::thread thread;
};

struct TimerQueue {
  std::mutex mutex;
  std::set<QueueTimer*> timers;
};

namespace {

void Run(QueueTimer* timer) {
  std::unique_lock<std::mutex> lock(timer->mutex);
  auto woken = [timer] { return timer->stop || timer->changed; };
  while (!timer->stop) {
    if (timer->idle) {
      timer->wake.wait(lock, woken);
      timer->changed = false;
      continue;
    }
    if (timer->wake.wait_until(lock, timer->next, woken)) {
      timer->changed = false;
      continue;
    }
    lock.unlock();
    timer->callback(timer->parameter, true);
    lock.lock();
    if (timer->changed) {
      // The callback (or another thread) set a new expiry; keep it.
      timer->changed = false;
      continue;
    }
    if (timer->period == 0) {
      timer->idle = true;
      continue;
    }
    timer->next += std::chrono::milliseconds(timer->period);
    const Clock::time_point now = Clock::now();
    // Missed expiries are skipped rather than fired in a burst.
    if (timer->next <= now) timer->next = now + std::chrono::milliseconds(timer->period);
  }
  const bool orphaned = timer->orphaned;
  lock.unlock();
  if (orphaned) delete timer;
}

void Destroy(QueueTimer* timer) {
  {
    std::lock_guard<std::mutex> lock(timer->mutex);
    timer->stop = true;
    if (timer->thread.get_id() == std::this_thread::get_id()) timer->orphaned = true;
  }
  timer->wake.notify_all();
  if (timer->orphaned) {
    // Waiting here would wait for ourselves; the thread frees the timer when the callback
    // that called us returns.
    timer->thread.detach();
    return;
  }
  timer->thread.join();
  delete timer;
}

}  // namespace

TimerQueue* CreateTimerQueue() { return new (std::nothrow) TimerQueue(); }

QueueTimer* CreateQueueTimer(TimerQueue* queue, TimerCallback callback, void* parameter,
                             uint32_t dueMs, uint32_t periodMs) {
  if (queue == nullptr || callback == nullptr) return nullptr;
  QueueTimer* timer = new (std::nothrow) QueueTimer();
  if (timer == nullptr) return nullptr;
  timer->callback = callback;
  timer->parameter = parameter;
  timer->next = Clock::now() + std::chrono::milliseconds(dueMs);
  timer->period = periodMs;
  try {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->timers.insert(timer);
    {
      // The thread reads the timer under its mutex; hold it until the handle is stored.
      std::lock_guard<std::mutex> timerLock(timer->mutex);
      timer->thread = std::thread(Run, timer);
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->timers.erase(timer);
    delete timer;
    return nullptr;
  }
  return timer;
}

bool ChangeQueueTimer(TimerQueue* queue, QueueTimer* timer, uint32_t dueMs, uint32_t periodMs) {
  if (queue == nullptr || timer == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(timer->mutex);
    timer->next = Clock::now() + std::chrono::milliseconds(dueMs);
    timer->period = periodMs;
    timer->idle = false;
    timer->changed = true;
  }
  timer->wake.notify_all();
  return true;
}

void DeleteQueueTimer(TimerQueue* queue, QueueTimer* timer) {
  if (queue == nullptr || timer == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (queue->timers.erase(timer) == 0) return;  // not ours, or already deleted
  }
  Destroy(timer);
}

void DeleteTimerQueue(TimerQueue* queue) {
  if (queue == nullptr) return;
  std::set<QueueTimer*> timers;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    timers.swap(queue->timers);
  }
  for (QueueTimer* timer : timers) Destroy(timer);
  delete queue;
}

}  // namespace platform
}  // namespace quillet
