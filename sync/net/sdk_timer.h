// The periodic timer behind the lock keep-alive: one timer queue with one periodic timer
// that calls OnTimer on a thread of the queue.
//
// Thread-safety: every operation may be called from any thread; ChangeTimer also from inside
// OnTimer. StopTimer waits for a running OnTimer to return, so it must not be called from
// OnTimer, and a derived class must call it in its destructor before its own members go.
// Creation failures leave the timer idle and are not reported.
#ifndef QUILLET_SYNC_NET_SDK_TIMER_H_
#define QUILLET_SYNC_NET_SDK_TIMER_H_

#include <mutex>

#include "sync/platform/timer_queue.h"

namespace quillet {

class SdkTimer {
 public:
  SdkTimer() = default;
  // Stops the timer as a last resort; derived classes stop it earlier (see above).
  virtual ~SdkTimer();
  SdkTimer(const SdkTimer&) = delete;
  SdkTimer& operator=(const SdkTimer&) = delete;

  // Starts a timer whose first expiry and period are periodMs; only when none runs.
  void StartTimer(int periodMs);
  // Re-times a running timer whose period differs: next expiry and period become periodMs.
  void ChangeTimer(int periodMs);
  // Deletes the timer and the queue, waiting for a running tick; safe when none runs.
  void StopTimer();

  // Current period in milliseconds; -1 when no timer runs.
  int Period() const;
  bool TimerRunning() const;

  // The queue's callback; parameter is the SdkTimer. Ignores a null parameter and calls
  // that are not expiries.
  static void TimerRoutine(void* parameter, bool fired);

 protected:
  // Called on every tick, on a thread of the queue.
  virtual void OnTimer() = 0;

 private:
  mutable std::mutex mutex_;  // guards the three members below, never held across a wait
  platform::TimerQueue* queue_ = nullptr;
  platform::QueueTimer* timer_ = nullptr;
  int period_ = -1;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_SDK_TIMER_H_
