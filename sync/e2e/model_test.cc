// Randomized model test: two devices and the server, random local adds, modifies and
// deletes between random rounds with random batch sizes. Each device matches the server
// right after each of its rounds; after a last round on each side (and one more to bring
// the first side the second's changes) both devices hold exactly the server's records. CI runs the
// fixed seeds below; more seeds through QUILLET_MODEL_SEEDS="1,2,3" (comma- or space-separated).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>

#include "sync/e2e/e2e_fixture.h"

namespace quillet {
namespace e2e {
namespace {

constexpr unsigned kCiSeeds[] = {20240501u};
constexpr int kSteps = 40;

std::vector<unsigned> Seeds() {
  std::vector<unsigned> seeds(std::begin(kCiSeeds), std::end(kCiSeeds));
  if (const char* extra = std::getenv("QUILLET_MODEL_SEEDS")) {
    std::string text(extra);
    for (char& c : text) {
      if (c == ',') c = ' ';
    }
    std::istringstream in(text);
    unsigned long seed = 0;
    while (in >> seed) seeds.push_back(static_cast<unsigned>(seed));
  }
  return seeds;
}

class ModelTest : public E2eTest {
 protected:
  // A few random local edits on device d.
  void Edit(ModelDevice& d, std::mt19937& rng, int* serial) {
    std::uniform_int_distribution<int> edits(0, 6);
    for (int n = edits(rng); n > 0; --n) {
      const auto records = d.Records();
      const int choice = std::uniform_int_distribution<int>(0, 9)(rng);
      if (records.empty() || choice < 4) {
        d.Add(d.name() + "-add-" + std::to_string((*serial)++));
        continue;
      }
      auto it = records.begin();
      std::advance(it, std::uniform_int_distribution<size_t>(0, records.size() - 1)(rng));
      if (choice < 8) {
        d.Modify(it->first, d.name() + "-mod-" + std::to_string((*serial)++));
      } else {
        d.Remove(it->first);
      }
    }
  }

  void Run(unsigned seed) {
    std::mt19937 rng(seed);
    int serial = 0;
    std::uniform_int_distribution<int> batch(1, 7);
    for (int step = 0; step < kSteps; ++step) {
      ModelDevice& d = std::bernoulli_distribution(0.5)(rng) ? *a_ : *b_;
      d.keepLocalEdits = std::bernoulli_distribution(0.3)(rng);
      Edit(d, rng, &serial);
      if (std::bernoulli_distribution(0.6)(rng)) {
        ASSERT_EQ(d.Sync(batch(rng)), 0) << "seed " << seed << ", step " << step;
        // Right after its round a device holds exactly what the server holds.
        ASSERT_EQ(d.ByGuid(), ServerRecords()) << "seed " << seed << ", step " << step;
        ASSERT_THAT(d.Problems(), ::testing::IsEmpty()) << "seed " << seed << ", step " << step;
      }
    }
    ASSERT_EQ(a_->Sync(batch(rng)), 0) << "seed " << seed;
    ASSERT_EQ(b_->Sync(batch(rng)), 0) << "seed " << seed;
    ASSERT_EQ(a_->Sync(batch(rng)), 0) << "seed " << seed;
    EXPECT_EQ(a_->redeliveredAdds(), 0) << "seed " << seed;
    EXPECT_EQ(b_->redeliveredAdds(), 0) << "seed " << seed;
    ExpectConverged();
  }
};

TEST_F(ModelTest, RandomEditsAndRoundsConverge) {
  for (unsigned seed : Seeds()) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    StartServer(syncserver::SyncServerOptions());
    Run(seed);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
