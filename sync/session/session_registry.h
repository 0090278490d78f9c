// The process-wide sessions, one per sync type (ordered by UTF-16 code units), and the one
// sync slot that keeps the host's calls from pulling state out from under each other.
//
// At most one sync call (SyncData, EndSync, DownUnstructFile) runs in the process. Another
// one, nested from a host callback or made on another thread meanwhile, is refused at once
// with an error line and touches nothing. InitCloudSync is refused while a call runs or from
// a callback. UninitCloudSync stops every session, waits for the running call and then
// destroys the sessions; from inside a callback, where it cannot wait, the destruction is
// left to the running call's end (or, with no call running, to the next call that enters).
//
// Thread-safe: every member may be called from any thread. Sessions are destroyed outside
// the registry's mutex, so StopSync is never held up by a teardown and never sees a session
// that is being destroyed.
#ifndef QUILLET_SYNC_SESSION_SESSION_REGISTRY_H_
#define QUILLET_SYNC_SESSION_SESSION_REGISTRY_H_

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sync/common/sync_process_adapter.h"
#include "sync/session/sync_session.h"

namespace quillet {

class SessionRegistry {
 public:
  using SessionMap = std::map<WString, std::unique_ptr<SyncSession>>;

  // The process's registry; created on first use.
  static SessionRegistry& Instance();

  // One sync call's hold on the slot. Move-only; leaving happens at Leave() or destruction.
  class SyncCall {
   public:
    SyncCall(SyncCall&& other) noexcept;
    SyncCall& operator=(SyncCall&&) = delete;
    ~SyncCall();

    // False when refused (the refusal is already logged); nothing else may be done then.
    bool admitted() const { return registry_ != nullptr; }
    // The session of the call's sync type; null when there is none. Valid until Leave().
    SyncSession* session() const { return session_; }
    // Frees the slot. True when an UninitCloudSync made meanwhile from a callback tore the
    // sessions down just now: the call was stopped and its session no longer exists.
    bool Leave();

   private:
    friend class SessionRegistry;
    SyncCall(SessionRegistry* registry, SyncSession* session)
        : registry_(registry), session_(session) {}
    SessionRegistry* registry_;
    SyncSession* session_;
  };

  // Takes the slot for callName ("SyncDataNoReason", "EndSync", ...) and finds the session
  // of syncType. Refused when another call holds the slot, when this thread is inside a host
  // callback, or while UninitCloudSync waits to tear down.
  SyncCall EnterSyncCall(const char* callName, const WString& syncType);

  enum class InitOutcome { kRegistered, kAlreadyRegistered, kRefused };
  // InitCloudSync: registers a session for config.SyncType and makes adapter the active
  // one, unless the type is registered already (nothing changes) or the call is refused.
  InitOutcome Register(NetConfig config, AdapterRef adapter);

  // UninitCloudSync: see the file comment.
  void TearDown();

  // StopSync: sets the stop flag of syncType's session, if there is one.
  void RequestStop(const WString& syncType);

  SessionRegistry() = default;
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

 private:
  bool Leave();
  // Destroys every session while the caller holds the slot; the lock is released meanwhile.
  void DestroySessions(std::unique_lock<std::mutex>& lock);
  // Why callName may not start now; empty when it may.
  std::string RefusalLocked(const char* callName) const;

  std::mutex mutex_;
  std::condition_variable slotFreed_;
  SessionMap sessions_;
  const char* running_ = nullptr;  // name of the call holding the slot
  int uninitWaiting_ = 0;          // UninitCloudSync calls waiting for the slot
  bool teardownPending_ = false;   // UninitCloudSync came from a callback
};

// The services given to sessions that InitCloudSync builds from now on; Default() unless
// replaced. Tests replace them to observe a session behind the C exports. Passing an
// empty function restores the default.
void SetSessionServicesFactory(std::function<SessionServices()> factory);
SessionServices ServicesForNewSession();

}  // namespace quillet

#endif  // QUILLET_SYNC_SESSION_SESSION_REGISTRY_H_
