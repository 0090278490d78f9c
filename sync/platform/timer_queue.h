// Periodic timers on a timer queue, shaped after the Windows timer-queue calls: one
// implementation per platform (posix/: a thread per timer; win32/: the system timer queue).
//
// Callbacks run on a thread of the queue, never on the caller's. A timer's period may be
// changed from any thread, its own callback included. Deleting a timer or a queue waits for
// a running callback to return, so it must not be called from that callback (POSIX then
// detaches instead of waiting). Functions never throw; failure is a null or false result.
#ifndef QUILLET_SYNC_PLATFORM_TIMER_QUEUE_H_
#define QUILLET_SYNC_PLATFORM_TIMER_QUEUE_H_

#include <cstdint>

namespace quillet {
namespace platform {

struct TimerQueue;
struct QueueTimer;

// fired is true for an expiry of the timer.
using TimerCallback = void (*)(void* parameter, bool fired);

// A new, empty queue; null on failure.
TimerQueue* CreateTimerQueue();

// A timer in queue that first fires dueMs after now, then every periodMs (0: only once).
// Times are unsigned like the system's: a negative int handed in wraps to a very long time.
// Null on failure or a null queue or callback.
QueueTimer* CreateQueueTimer(TimerQueue* queue, TimerCallback callback, void* parameter,
                             uint32_t dueMs, uint32_t periodMs);

// Next expiry dueMs after now, then every periodMs. False for a null argument.
bool ChangeQueueTimer(TimerQueue* queue, QueueTimer* timer, uint32_t dueMs, uint32_t periodMs);

// Removes the timer, waiting for a running callback of it to return. Null is ignored.
void DeleteQueueTimer(TimerQueue* queue, QueueTimer* timer);

// Removes the queue with any timer still in it, waiting for running callbacks.
void DeleteTimerQueue(TimerQueue* queue);

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_TIMER_QUEUE_H_
