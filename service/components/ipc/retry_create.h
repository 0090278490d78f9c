// Creation of the broker's first pipe instance, retried until it succeeds. It fails when
// another process already holds the pipe name or the system is short of resources; a
// broker that gave up at once would leave every client failing with nothing in the log.
#pragma once

#include <cstdint>

namespace orvex {

// Calls create() until it reports success, sleep(retryMs) between attempts, and at most
// maxAttempts times (0: without end). Each failure is handed to onFailure(attempt, error)
// (attempt counts from 1). Returns the number of attempts made, or 0 when all failed.
template <typename Create, typename Sleep, typename OnFailure>
uint32_t RetryCreate(Create create, Sleep sleep, OnFailure onFailure, uint32_t retryMs,
                     uint32_t maxAttempts) {
  for (uint32_t attempt = 1; maxAttempts == 0 || attempt <= maxAttempts; ++attempt) {
    uint32_t error = 0;
    if (create(&error)) return attempt;
    onFailure(attempt, error);
    if (maxAttempts != 0 && attempt == maxAttempts) break;
    sleep(retryMs);
  }
  return 0;
}

}  // namespace orvex
