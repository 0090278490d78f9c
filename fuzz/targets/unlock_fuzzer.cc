// UNLOCK answers, after a canned LOCK: the ctags of the round end ("updatersp"); the
// keep-alive stops whatever the answer.
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LoadAnswers(data, size, {GrantedLock()});
  {
    BrowserNetInterface client(FuzzNetConfig());
    CtagMap ctags;
    if (!IsSuccess(client.Lock(ctags))) FuzzFail("the canned LOCK answer was refused");
    CtagMap after;
    const int status = client.Unlock(after);
    CheckOutcome(status, after.empty());
    if (client.TimerRunning()) FuzzFail("the keep-alive outlived UNLOCK");
  }
  FinishInput();
  return 0;
}
