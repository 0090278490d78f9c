// Marks the stretch of a thread during which the library has handed control to the host
// (a callback). A call into the library's exports from there is re-entrant: the library's
// state is mid-operation on that thread, so such calls are refused or deferred.
//
// Thread-safe by construction: the mark is per thread.
#ifndef QUILLET_SYNC_COMMON_HOST_CALL_SCOPE_H_
#define QUILLET_SYNC_COMMON_HOST_CALL_SCOPE_H_

namespace quillet {

class HostCallScope {
 public:
  HostCallScope();
  ~HostCallScope();
  HostCallScope(const HostCallScope&) = delete;
  HostCallScope& operator=(const HostCallScope&) = delete;
};

// True while this thread runs inside a host callback (at any depth).
bool InsideHostCallback();

}  // namespace quillet

#endif  // QUILLET_SYNC_COMMON_HOST_CALL_SCOPE_H_
