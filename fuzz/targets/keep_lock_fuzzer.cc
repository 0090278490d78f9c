// KEEPLOCK answers, under a lock granted by a canned LOCK answer: a new interval re-times
// the running keep-alive timer; no answer may stop it or leave the client unable to go.
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
    const int status = client.KeepLock();
    CheckOutcome(status, true);
    if (!client.TimerRunning()) FuzzFail("a KEEPLOCK answer stopped the keep-alive");
  }  // the destructor stops the timer, waiting for a running tick
  FinishInput();
  return 0;
}
