// PROPFIND answers for the etags of one collection ("multistatus" of guid and etag).
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct EtagOutcome : Outcome {
  std::vector<EtagItem> etags;
};

EtagOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  EtagOutcome outcome;
  outcome.status = client.GetEtagList(u"bookmark", outcome.etags);
  outcome.empty = outcome.etags.empty();
  NoteTransfer(&outcome);
  return outcome;
}

bool Same(const EtagOutcome& a, const EtagOutcome& b) {
  if (a.etags.size() != b.etags.size()) return false;
  for (size_t i = 0; i < a.etags.size(); ++i) {
    if (a.etags[i].guid != b.etags[i].guid || a.etags[i].etag != b.etags[i].etag ||
        a.etags[i].type != b.etags[i].type) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzOperation<EtagOutcome>(data, size, {}, Run, Same);
  return 0;
}
