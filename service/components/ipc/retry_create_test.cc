#include "service/components/ipc/retry_create.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvex {
namespace {

struct Recorder {
  std::vector<uint32_t> sleeps;
  std::vector<std::pair<uint32_t, uint32_t>> failures;  // attempt, error
};

TEST(RetryCreateTest, FailuresAreReportedWithTheirErrorAndRetriedUntilCreated) {
  Recorder r;
  int calls = 0;
  const uint32_t attempts = RetryCreate(
      [&calls](uint32_t* error) {
        *error = ++calls < 3 ? 231u : 0u;  // ERROR_PIPE_BUSY twice
        return calls == 3;
      },
      [&r](uint32_t ms) { r.sleeps.push_back(ms); },
      [&r](uint32_t attempt, uint32_t error) { r.failures.push_back({attempt, error}); }, 1000,
      0);
  EXPECT_EQ(attempts, 3u);
  EXPECT_EQ(r.sleeps, (std::vector<uint32_t>{1000, 1000}));
  EXPECT_EQ(r.failures, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 231}, {2, 231}}));
}

TEST(RetryCreateTest, ABoundedRetryGivesUpWithoutASleepAfterTheLastAttempt) {
  Recorder r;
  EXPECT_EQ(RetryCreate([](uint32_t* error) { return *error = 5, false; },
                        [&r](uint32_t ms) { r.sleeps.push_back(ms); },
                        [&r](uint32_t attempt, uint32_t error) {
                          r.failures.push_back({attempt, error});
                        },
                        250, 4),
            0u);
  EXPECT_EQ(r.sleeps.size(), 3u);
  EXPECT_EQ(r.failures.size(), 4u);
  EXPECT_EQ(r.failures.back(), (std::pair<uint32_t, uint32_t>{4, 5}));
  // A first success needs no sleep and reports nothing.
  EXPECT_EQ(RetryCreate([](uint32_t*) { return true; }, [&r](uint32_t) { r.sleeps.push_back(0); },
                        [&r](uint32_t, uint32_t) { r.failures.push_back({0, 0}); }, 250, 4),
            1u);
  EXPECT_EQ(r.sleeps.size(), 3u);
  EXPECT_EQ(r.failures.size(), 4u);
}

}  // namespace
}  // namespace orvex
