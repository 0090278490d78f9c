// POST answers to an upload of changed records ("updatersp": guid, status, etag).
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
    const auto results =
        client.UpdateData(u"bookmark", {{u"g1", u"{\"t\":\"b\"}"}, {u"g2", u"x"}}, status);
    CheckOutcome(status, results.empty());
  }
  FinishInput();
  return 0;
}
