#include "bench/floor_comparison.h"

#include <algorithm>

namespace quillet {
namespace bench {
namespace {

const ServerCounts& CountsOf(const RunFigures& run, const char* phase) {
  static const ServerCounts kNone;
  const auto found = run.phases.find(phase);
  return found == run.phases.end() ? kNone : found->second.counts;
}

bool SameBesideKeepLock(std::map<std::string, long> a, std::map<std::string, long> b) {
  a.erase("KEEPLOCK");
  b.erase("KEEPLOCK");
  return a == b;
}

}  // namespace

const char* const kClientNames[kClientCount] = {"library", "floor-new", "floor-shared"};

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  s.min = values.front();
  s.max = values.back();
  s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  return s;
}

std::string CountsText(const ServerCounts& counts) {
  std::string text;
  for (const auto& [method, count] : counts.requests) {
    text += (text.empty() ? "" : ", ") + method + " " + std::to_string(count);
  }
  return text + "; connections " + std::to_string(counts.connections) + ", " +
         std::to_string(counts.resumed) + " resumed";
}

std::vector<std::string> CountDifferences(int n, const Runs& runs, ConnectionMode expect) {
  const Client expected = expect == ConnectionMode::kNew ? kFloorNew : kFloorShared;
  std::vector<std::string> differences;
  size_t count = runs[kLibrary].size();
  for (const auto& client : runs) {
    if (client.size() != runs[kLibrary].size()) {
      differences.push_back("N = " + std::to_string(n) +
                            ": the clients ran unequal numbers of runs");
    }
    count = std::min(count, client.size());
  }
  for (size_t i = 0; i < count; ++i) {
    const std::string where = "N = " + std::to_string(n) + ", run " + std::to_string(i + 1) + ", ";
    for (const char* phase : kPhases) {
      const ServerCounts& library = CountsOf(runs[kLibrary][i], phase);
      for (Client c : {kFloorNew, kFloorShared}) {
        const ServerCounts& floor = CountsOf(runs[c][i], phase);
        if (floor.requests == library.requests) continue;
        differences.push_back(where + phase + ": requests per method differ: library {" +
                              CountsText(library) + "}, " + kClientNames[c] + " {" +
                              CountsText(floor) + "}" +
                              (SameBesideKeepLock(library.requests, floor.requests)
                                   ? " (only KEEPLOCK, which follows wall time: raise --interval)"
                                   : ""));
      }
      const ServerCounts& floor = CountsOf(runs[expected][i], phase);
      if (floor.connections != library.connections) {
        differences.push_back(where + phase + ": the library opened " +
                              std::to_string(library.connections) + " connections, " +
                              kClientNames[expected] + " " + std::to_string(floor.connections) +
                              " (--expect " + ModeName(expect) + ")");
      }
    }
  }
  return differences;
}

}  // namespace bench
}  // namespace quillet
