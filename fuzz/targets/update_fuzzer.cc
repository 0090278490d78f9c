// POST answers to an upload of changed records ("updatersp": guid, status, etag).
#include "fuzz/net_fuzz_client.h"
#include "sync/net/client_variants.h"

using namespace quillet;
using namespace quillet::fuzz;

namespace {

struct UpdateOutcome : Outcome {
  std::map<WString, UpdateResult> results;
};

UpdateOutcome Run() {
  BrowserNetInterface client(FuzzNetConfig());
  UpdateOutcome outcome;
  outcome.results =
      client.UpdateData(u"bookmark", {{u"g1", u"{\"t\":\"b\"}"}, {u"g2", u"x"}}, outcome.status);
  outcome.empty = outcome.results.empty();
  NoteTransfer(&outcome);
  return outcome;
}

bool Same(const UpdateOutcome& a, const UpdateOutcome& b) {
  if (a.results.size() != b.results.size()) return false;
  for (auto i = a.results.begin(), j = b.results.begin(); i != a.results.end(); ++i, ++j) {
    if (i->first != j->first || i->second.status != j->second.status ||
        i->second.guid != j->second.guid || i->second.etag != j->second.etag) {
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
  FuzzOperation<UpdateOutcome>(data, size, {}, Run, Same);
  return 0;
}
