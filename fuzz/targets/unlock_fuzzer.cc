// UNLOCK answers, after a canned LOCK: the ctags of the round end ("updatersp"); the
// keep-alive stops whatever the answer.
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct UnlockOutcome : Outcome {
  CtagMap ctags;
};

UnlockOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  CtagMap locked;
  if (!IsSuccess(client.Lock(locked))) FuzzFail("the canned LOCK answer was refused");
  UnlockOutcome outcome;
  outcome.status = client.Unlock(outcome.ctags);
  outcome.empty = outcome.ctags.empty();
  NoteTransfer(&outcome);
  if (client.TimerRunning()) FuzzFail("the keep-alive outlived UNLOCK");
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzOperation<UnlockOutcome>(
      data, size, {GrantedLock()}, Run,
      [](const UnlockOutcome& a, const UnlockOutcome& b) { return SameCtags(a.ctags, b.ctags); });
  return 0;
}
