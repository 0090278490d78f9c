// POST answers to a removal of records ("removersp": guid, status).
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct RemoveOutcome : Outcome {
  std::map<WString, int> results;
};

RemoveOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  RemoveOutcome outcome;
  outcome.results = client.RemoveData(u"bookmark", {u"g1", u"g2"}, outcome.status);
  outcome.empty = outcome.results.empty();
  NoteTransfer(&outcome);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitNetFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzOperation<RemoveOutcome>(
      data, size, {}, Run,
      [](const RemoveOutcome& a, const RemoveOutcome& b) { return a.results == b.results; });
  return 0;
}
