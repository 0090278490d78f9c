// POST answers to an upload of new records ("addrsp": guid, luid, status, etag).
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
    int status = -1;
    // "photo" uploads carry a hash, so the body builder's MD5 path runs too.
    const auto results =
        client.AddData(u"photo", {{u"L1", u"{\"t\":\"a\"}"}, {u"L2", u"\u00e9\n"}}, status);
    CheckOutcome(status, results.empty());
  }
  FinishInput();
  return 0;
}
