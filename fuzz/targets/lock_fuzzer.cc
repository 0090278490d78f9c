// LOCK answers: the ctag list, the keep-alive interval and the lock token header. The
// UNLOCK that follows (with the next answer of the input, if any) carries the captured
// token, which the fake checks, and stops the keep-alive timer the lock started.
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct LockOutcome : Outcome {
  CtagMap ctags;
};

LockOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  LockOutcome outcome;
  outcome.status = client.Lock(outcome.ctags);
  outcome.empty = outcome.ctags.empty();
  NoteTransfer(&outcome);
  if (client.TimerRunning() && !IsSuccess(outcome.status)) FuzzFail("keep-alive without a lock");
  CtagMap after;
  client.Unlock(after);
  if (client.TimerRunning()) FuzzFail("the keep-alive outlived UNLOCK");
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzOperation<LockOutcome>(data, size, {}, Run, [](const LockOutcome& a, const LockOutcome& b) {
    return SameCtags(a.ctags, b.ctags);
  });
  return 0;
}
