// POST answers to an upload of new records ("addrsp": guid, luid, status, etag).
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct AddOutcome : Outcome {
  std::map<WString, AddResult> results;
};

AddOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  AddOutcome outcome;
  // "photo" uploads carry a hash, so the body builder's MD5 path runs too.
  outcome.results =
      client.AddData(u"photo", {{u"L1", u"{\"t\":\"a\"}"}, {u"L2", u"\u00e9\n"}}, outcome.status);
  outcome.empty = outcome.results.empty();
  NoteTransfer(&outcome);
  return outcome;
}

bool Same(const AddOutcome& a, const AddOutcome& b) {
  if (a.results.size() != b.results.size()) return false;
  for (auto i = a.results.begin(), j = b.results.begin(); i != a.results.end(); ++i, ++j) {
    const AddResult& x = i->second;
    const AddResult& y = j->second;
    if (i->first != j->first || x.status != y.status || x.guid != y.guid || x.luid != y.luid ||
        x.etag != y.etag) {
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
  FuzzOperation<AddOutcome>(data, size, {}, Run, Same);
  return 0;
}
