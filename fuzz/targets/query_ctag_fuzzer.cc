// PROPFIND answers for the collection tags of the sync type ("multistatus" of ctags).
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct CtagOutcome : Outcome {
  CtagMap ctags;
};

CtagOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  CtagOutcome outcome;
  outcome.status = client.QueryCtag(outcome.ctags);
  outcome.empty = outcome.ctags.empty();
  NoteTransfer(&outcome);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzOperation<CtagOutcome>(data, size, {}, Run, [](const CtagOutcome& a, const CtagOutcome& b) {
    return SameCtags(a.ctags, b.ctags);
  });
  return 0;
}
