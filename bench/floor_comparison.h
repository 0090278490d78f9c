// How the library's runs compare with the floor client's: the spread of a figure over the
// runs of one client, and the differences in what the server counted, each of which fails
// the comparison.
#ifndef QUILLET_BENCH_FLOOR_COMPARISON_H_
#define QUILLET_BENCH_FLOOR_COMPARISON_H_

#include <array>
#include <string>
#include <vector>

#include "bench/bench_harness.h"
#include "bench/floor_transport.h"

namespace quillet {
namespace bench {

enum Client { kLibrary, kFloorNew, kFloorShared, kClientCount };
extern const char* const kClientNames[kClientCount];

// Per client, its runs in the order they ran; run i of each client ran one after the other.
using Runs = std::array<std::vector<RunFigures>, kClientCount>;

struct Spread {
  double min = 0;
  double median = 0;
  double max = 0;
};

Spread SpreadOf(std::vector<double> values);

// "LOCK 1, POST 100, UNLOCK 1; connections 102, 0 resumed"
std::string CountsText(const ServerCounts& counts);

// One message per phase and run in which the library's requests per method differ from
// either floor mode's, or its connections from those of the expected mode's. Empty when
// the library did the floor's requests.
std::vector<std::string> CountDifferences(int n, const Runs& runs, ConnectionMode expect);

}  // namespace bench
}  // namespace quillet

#endif  // QUILLET_BENCH_FLOOR_COMPARISON_H_
