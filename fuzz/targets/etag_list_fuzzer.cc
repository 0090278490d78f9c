// PROPFIND answers for the etags of one collection ("multistatus" of guid and etag).
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
    std::vector<EtagItem> etags;
    const int status = client.GetEtagList(u"bookmark", etags);
    CheckOutcome(status, etags.empty());
  }
  FinishInput();
  return 0;
}
