// What the protocol fuzz targets share: one-time set-up, the client's configuration, the
// answers of one input, and the checks that hold for every operation whatever the answer.
#ifndef QUILLET_FUZZ_NET_FUZZ_CLIENT_H_
#define QUILLET_FUZZ_NET_FUZZ_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/answer_script.h"
#include "fuzz/fake_curl.h"
#include "fuzz/fuzz_fail.h"
#include "sync/common/records.h"
#include "sync/net/net_interface.h"

namespace quillet {
namespace fuzz {

// Once per process: silent logs, a fixed device id (no DMI read per input).
void InitNetFuzzing();

// A browser client of user "u1" against an address the fake never resolves.
NetConfig FuzzNetConfig();

// The reference server's LOCK answer (a lock token, a 60 s interval, one ctag), for the
// targets whose operation runs while the lock is held.
FakeAnswer GrantedLock();

bool IsSuccess(int status);

// What one operation gave; each target adds its result.
struct Outcome {
  int status = 0;
  bool empty = true;            // no result was handed on
  bool transferFailed = false;  // the operation's last transfer failed
  size_t lastAnswer = 0;        // index of the answer it read last
};

// Takes the transport's side of the outcome; call right after the operation.
void NoteTransfer(Outcome* outcome);

// A failed transfer must give status 0, and a status outside 200-299 no result.
void CheckOutcome(const Outcome& outcome);

// Once the client is gone: every easy handle, header list and share handle was given back.
// Also drops the answers the input had left over.
void FinishInput();

// The answers with answers[index]'s body cut short: before its last non-blank byte (a
// document without its end), and in half. Cuts that leave the body whole or empty are left out.
std::vector<std::vector<FakeAnswer>> CutAnswers(const std::vector<FakeAnswer>& answers,
                                                size_t index);

// Same collections with the same ctags.
bool SameCtags(const CtagMap& a, const CtagMap& b);

// Runs one operation (run() makes a client and returns its outcome) on the canned answers
// followed by the input's, and checks it. When it handed on a result, runs it again with the
// answer it read cut short: a cut answer must fail (and so hand on nothing, see
// CheckOutcome) or give exactly the same result (same(a, b)), never a shorter list.
template <typename Result, typename Run, typename Same>
void FuzzOperation(const uint8_t* data, size_t size, std::vector<FakeAnswer> canned, Run run,
                   Same same) {
  std::vector<FakeAnswer> answers = std::move(canned);
  for (FakeAnswer& answer : ParseAnswers(data, size)) answers.push_back(std::move(answer));
  SetFakeAnswers(answers);
  const Result whole = run();
  // Every operation sends its request; none sent means the inputs never reach a decoder.
  if (FakeCurl().performs == 0) FuzzFail("no request reached libcurl (is the CA bundle set?)");
  CheckOutcome(whole);
  FinishInput();
  if (!IsSuccess(whole.status) || whole.empty) return;
  for (std::vector<FakeAnswer>& cut : CutAnswers(answers, whole.lastAnswer)) {
    SetFakeAnswers(std::move(cut));
    const Result part = run();
    CheckOutcome(part);
    FinishInput();
    // A cut that changes which answer was read last (the 402 of a cut body is retried) is
    // another exchange, with nothing to compare.
    if (part.lastAnswer != whole.lastAnswer) continue;
    if (IsSuccess(part.status) && (part.status != whole.status || !same(part, whole))) {
      FuzzFail("a cut answer was read as a result");
    }
  }
}

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_NET_FUZZ_CLIENT_H_
