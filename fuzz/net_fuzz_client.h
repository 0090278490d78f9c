// What the protocol fuzz targets share: one-time set-up, the client's configuration, the
// answers of one input, and the checks that hold for every operation whatever the answer.
#ifndef QUILLET_FUZZ_NET_FUZZ_CLIENT_H_
#define QUILLET_FUZZ_NET_FUZZ_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fake_curl.h"
#include "fuzz/fuzz_fail.h"
#include "sync/interface/records.h"

namespace quillet {
namespace fuzz {

// Once per process: silent logs, a fixed device id (no DMI read per input).
void InitNetFuzzing();

// A browser client of user "u1" against an address the fake never resolves.
NetConfig FuzzNetConfig();

// The reference server's LOCK answer (a lock token, a 60 s interval, one ctag), for the
// targets whose operation runs while the lock is held.
FakeAnswer GrantedLock();

// Scripts the fake libcurl: the canned answers first, then those of the input.
void LoadAnswers(const uint8_t* data, size_t size, std::vector<FakeAnswer> canned = {});

bool IsSuccess(int status);

// A transfer that failed must give status 0, and a status outside 200-299 no result.
void CheckOutcome(int status, bool resultEmpty);

// Once the client is gone: every easy handle, header list and share handle was given back.
// Also drops the answers the input had left over.
void FinishInput();

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_NET_FUZZ_CLIENT_H_
