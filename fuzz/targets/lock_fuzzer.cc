// LOCK answers: the ctag list, the keep-alive interval and the lock token header. The
// UNLOCK that follows (with the next answer of the input, if any) carries the captured
// token, which the fake checks, and stops the keep-alive timer the lock started.
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LoadAnswers(data, size);
  {
    BrowserNetInterface client(FuzzNetConfig());
    CtagMap ctags;
    const int status = client.Lock(ctags);
    CheckOutcome(status, ctags.empty());
    if (client.TimerRunning() && !IsSuccess(status)) FuzzFail("keep-alive without a lock");
    CtagMap after;
    client.Unlock(after);
    if (client.TimerRunning()) FuzzFail("the keep-alive outlived UNLOCK");
  }
  FinishInput();
  return 0;
}
