// Windows timer queue: the system's timer-queue timers on pooled worker threads. Both
// deletions pass INVALID_HANDLE_VALUE so that they wait for running callbacks.
#include <windows.h>

#include <new>

#include "sync/platform/timer_queue.h"

namespace quillet {
namespace platform {

struct TimerQueue {
  HANDLE handle = nullptr;
};

struct QueueTimer {
  HANDLE handle = nullptr;
  TimerCallback callback = nullptr;
  void* parameter = nullptr;
};

namespace {

VOID CALLBACK Trampoline(PVOID parameter, BOOLEAN fired) {
  QueueTimer* timer = static_cast<QueueTimer*>(parameter);
  if (timer != nullptr) timer->callback(timer->parameter, fired != FALSE);
}

}  // namespace

TimerQueue* CreateTimerQueue() {
  HANDLE handle = ::CreateTimerQueue();
  if (handle == nullptr) return nullptr;
  TimerQueue* queue = new (std::nothrow) TimerQueue();
  if (queue == nullptr) {
    ::DeleteTimerQueueEx(handle, INVALID_HANDLE_VALUE);
    return nullptr;
  }
  queue->handle = handle;
  return queue;
}

QueueTimer* CreateQueueTimer(TimerQueue* queue, TimerCallback callback, void* parameter,
                             uint32_t dueMs, uint32_t periodMs) {
  if (queue == nullptr || callback == nullptr) return nullptr;
  QueueTimer* timer = new (std::nothrow) QueueTimer();
  if (timer == nullptr) return nullptr;
  timer->callback = callback;
  timer->parameter = parameter;
  if (!::CreateTimerQueueTimer(&timer->handle, queue->handle, Trampoline, timer, dueMs, periodMs,
                               WT_EXECUTEDEFAULT)) {
    delete timer;
    return nullptr;
  }
  return timer;
}

bool ChangeQueueTimer(TimerQueue* queue, QueueTimer* timer, uint32_t dueMs, uint32_t periodMs) {
  if (queue == nullptr || timer == nullptr) return false;
  return ::ChangeTimerQueueTimer(queue->handle, timer->handle, dueMs, periodMs) != FALSE;
}

void DeleteQueueTimer(TimerQueue* queue, QueueTimer* timer) {
  if (queue == nullptr || timer == nullptr) return;
  ::DeleteTimerQueueTimer(queue->handle, timer->handle, INVALID_HANDLE_VALUE);
  delete timer;
}

void DeleteTimerQueue(TimerQueue* queue) {
  if (queue == nullptr) return;
  ::DeleteTimerQueueEx(queue->handle, INVALID_HANDLE_VALUE);
  delete queue;
}

}  // namespace platform
}  // namespace quillet
