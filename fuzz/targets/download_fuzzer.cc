// REPORT answers: the records asked for by guid ("multistatus" of guid and data).
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct DownloadOutcome : Outcome {
  StructList records;
};

DownloadOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  DownloadOutcome outcome;
  outcome.status = client.DownloadData(u"bookmark", {u"g1", u"g\u00e9\"2"}, outcome.records);
  outcome.empty = outcome.records.empty();
  NoteTransfer(&outcome);
  return outcome;
}

bool Same(const DownloadOutcome& a, const DownloadOutcome& b) {
  if (a.records.size() != b.records.size()) return false;
  for (size_t i = 0; i < a.records.size(); ++i) {
    if (a.records[i].guid != b.records[i].guid || a.records[i].data != b.records[i].data) {
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
  FuzzOperation<DownloadOutcome>(data, size, {}, Run, Same);
  return 0;
}
