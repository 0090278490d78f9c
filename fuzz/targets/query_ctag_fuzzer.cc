// PROPFIND answers for the collection tags of the sync type ("multistatus" of ctags).
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
    const int status = client.QueryCtag(ctags);
    CheckOutcome(status, ctags.empty());
  }
  FinishInput();
  return 0;
}
