// REPORT answers: the records asked for by guid ("multistatus" of guid and data).
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
    StructList records;
    const int status = client.DownloadData(u"bookmark", {u"g1", u"g\u00e9\"2"}, records);
    CheckOutcome(status, records.empty());
  }
  FinishInput();
  return 0;
}
