// KEEPLOCK answers, under a lock granted by a canned LOCK answer: a new interval re-times
// the running keep-alive timer; no answer may stop it or keep the client from going.
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

Outcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  CtagMap ctags;
  if (!IsSuccess(client.Lock(ctags))) FuzzFail("the canned LOCK answer was refused");
  Outcome outcome;
  outcome.status = client.KeepLock();
  NoteTransfer(&outcome);
  if (!client.TimerRunning()) FuzzFail("a KEEPLOCK answer stopped the keep-alive");
  return outcome;  // the destructor stops the timer, waiting for a running tick
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // KEEPLOCK hands on no result, so there is no cut answer to compare.
  FuzzOperation<Outcome>(data, size, {GrantedLock()}, Run,
                         [](const Outcome&, const Outcome&) { return true; });
  return 0;
}
