// The figures' way between processes and the comparison that fails the benchmark: a
// figure lost on the way or a difference let through would make the floor comparison lie.
#include "bench/floor_comparison.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace quillet {
namespace bench {
namespace {

ServerCounts Counts(std::map<std::string, long> requests, long connections, long resumed = 0) {
  ServerCounts counts;
  counts.requests = std::move(requests);
  counts.connections = connections;
  counts.resumed = resumed;
  return counts;
}

// One run in which the server counted the benchmark's usual requests, with a connection
// per request or one per five requests.
RunFigures BenchRun(bool connectionPerRequest, long posts = 100) {
  RunFigures run;
  run.n = 10000;
  run.maxrssKb = 32000;
  const long reports = 100;
  const auto connections = [&](long requests) {
    return connectionPerRequest ? requests : (requests + 4) / 5;
  };
  run.phases["upload"].counts =
      Counts({{"LOCK", 1}, {"POST", posts}, {"UNLOCK", 1}}, connections(posts + 2));
  run.phases["download"].counts = Counts(
      {{"LOCK", 1}, {"PROPFIND", 1}, {"REPORT", reports}, {"UNLOCK", 1}}, connections(reports + 3));
  run.phases["nochange"].counts = Counts({{"LOCK", 1}, {"UNLOCK", 1}}, connections(2));
  run.phases["upload"].usage = Usage{0.75, 0.5};
  run.phases["download"].usage = Usage{0.5, 0.25};
  run.phases["nochange"].usage = Usage{0.125, 0.0625};
  return run;
}

Runs ThreeClients(int runs, bool libraryShares) {
  Runs all;
  for (int i = 0; i < runs; ++i) {
    all[kLibrary].push_back(BenchRun(!libraryShares));
    all[kFloorNew].push_back(BenchRun(true));
    all[kFloorShared].push_back(BenchRun(false));
  }
  return all;
}

TEST(BenchHarnessTest, FiguresSurviveTheirTextForm) {
  const RunFigures written = BenchRun(true);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  ASSERT_NE(out, nullptr);
  WriteFigures(out, written);
  fclose(out);
  std::istringstream in(std::string(buffer, size));
  free(buffer);

  RunFigures read;
  ASSERT_TRUE(ReadFigures(in, &read));
  EXPECT_EQ(read.n, written.n);
  EXPECT_EQ(read.maxrssKb, written.maxrssKb);
  ASSERT_EQ(read.phases.size(), 3u);
  for (const char* phase : kPhases) {
    const PhaseFigures& a = written.phases.at(phase);
    const PhaseFigures& b = read.phases.at(phase);
    EXPECT_DOUBLE_EQ(a.usage.wall, b.usage.wall) << phase;
    EXPECT_DOUBLE_EQ(a.usage.cpu, b.usage.cpu) << phase;
    EXPECT_EQ(a.counts.requests, b.counts.requests) << phase;
    EXPECT_EQ(a.counts.connections, b.counts.connections) << phase;
  }

  std::istringstream broken("phase upload 10000 0.5\n");  // the CPU time cut off
  EXPECT_FALSE(ReadFigures(broken, &read));
  std::istringstream foreign("figures of something else\n");
  EXPECT_FALSE(ReadFigures(foreign, &read));
}

TEST(BenchHarnessTest, ServerStatsAreReadWholeAndSplitIntoPhases) {
  ServerCounts after;
  ASSERT_TRUE(ParseServerCounts(
      "snapshot 2\nconnections 115\nresumed 7\nrequests LOCK 2\nrequests POST 100\n"
      "requests REPORT 10\nrequests UNLOCK 2\n",
      &after));
  EXPECT_EQ(after.snapshot, 2);
  EXPECT_EQ(after.connections, 115);
  EXPECT_EQ(after.resumed, 7);
  EXPECT_EQ(after.requests.at("POST"), 100);

  ServerCounts before;
  ASSERT_TRUE(ParseServerCounts(
      "snapshot 1\nconnections 102\nresumed 0\nrequests LOCK 1\nrequests POST 100\n"
      "requests UNLOCK 1\n",
      &before));
  const ServerCounts phase = after.Minus(before);
  EXPECT_EQ(phase.connections, 13);
  EXPECT_EQ(phase.resumed, 7);
  // A method the phase did not send is not listed as sent 0 times.
  EXPECT_EQ(phase.requests,
            (std::map<std::string, long>{{"LOCK", 1}, {"REPORT", 10}, {"UNLOCK", 1}}));

  ServerCounts kept = before;
  EXPECT_FALSE(ParseServerCounts("connections 3\n", &kept));  // no snapshot line yet
  EXPECT_FALSE(ParseServerCounts("snapshot 3\nrequests POST\n", &kept));
  EXPECT_FALSE(ParseServerCounts("snapshot 3\nbytes 10\n", &kept));
  EXPECT_EQ(kept.snapshot, 1);  // untouched by what could not be read
}

TEST(FloorComparisonTest, MedianAndExtremesOfTheRuns) {
  const Spread odd = SpreadOf({3, 1, 2});
  EXPECT_DOUBLE_EQ(odd.min, 1);
  EXPECT_DOUBLE_EQ(odd.median, 2);
  EXPECT_DOUBLE_EQ(odd.max, 3);
  EXPECT_DOUBLE_EQ(SpreadOf({4, 1, 3, 2}).median, 2.5);
  EXPECT_DOUBLE_EQ(SpreadOf({}).median, 0);
}

TEST(FloorComparisonTest, EqualRequestsAndTheExpectedConnectionsPass) {
  EXPECT_TRUE(CountDifferences(10000, ThreeClients(3, true), ConnectionMode::kShared).empty());
  EXPECT_TRUE(CountDifferences(10000, ThreeClients(3, false), ConnectionMode::kNew).empty());
}

TEST(FloorComparisonTest, EachDifferenceFailsAndSaysWhere) {
  // A library that opens a connection per request, checked against the shared mode.
  const std::vector<std::string> connections =
      CountDifferences(10000, ThreeClients(2, false), ConnectionMode::kShared);
  ASSERT_EQ(connections.size(), 6u);  // every phase of both runs
  EXPECT_EQ(connections[0],
            "N = 10000, run 1, upload: the library opened 102 connections, floor-shared 21 "
            "(--expect shared)");

  // One batch more in the second run's upload differs from both floor modes.
  Runs extraPost = ThreeClients(2, true);
  extraPost[kLibrary][1] = BenchRun(false, 101);
  const std::vector<std::string> requests =
      CountDifferences(10000, extraPost, ConnectionMode::kShared);
  ASSERT_EQ(requests.size(), 2u);  // against both modes; the connections still match
  EXPECT_NE(requests[0].find("run 2, upload: requests per method differ: library {LOCK 1, "
                             "POST 101, UNLOCK 1;"),
            std::string::npos)
      << requests[0];
  EXPECT_NE(requests[1].find("floor-shared {LOCK 1, POST 100, UNLOCK 1;"), std::string::npos);
  EXPECT_EQ(requests[0].find("KEEPLOCK"), std::string::npos);

  // A keep-alive request in a long phase is named as such.
  Runs keepLock = ThreeClients(1, true);
  keepLock[kLibrary][0].phases["download"].counts.requests["KEEPLOCK"] = 1;
  const std::vector<std::string> timed = CountDifferences(10000, keepLock, ConnectionMode::kShared);
  ASSERT_EQ(timed.size(), 2u);
  EXPECT_NE(timed[0].find("only KEEPLOCK"), std::string::npos) << timed[0];

  // A client that lost a run cannot pass for equal.
  Runs lost = ThreeClients(2, true);
  lost[kFloorNew].pop_back();
  EXPECT_FALSE(CountDifferences(10000, lost, ConnectionMode::kShared).empty());
}

}  // namespace
}  // namespace bench
}  // namespace quillet
