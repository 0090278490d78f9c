// Measures the etag store as a collection grows, the way the sync passes use it: rows
// inserted in batches of 100, read back by type, updated by guid and by luid in batches of
// 100, deleted by guid in batches of 100. Every run starts from a fresh store; the figure
// per step and size is the best of the runs. Per-row cost at the largest size should stay
// within 1.3x of the smallest; the exit status is 1 when it does not.
//
//   store_bench [--sizes 10000,100000] [--runs 3] [--dir DIR] [--sequential-guids]
//               [--drop-guid-index]
//
// Cloud ids look random by default, the costly case for the guid index: once the index has
// more leaf pages than a batch has rows, each row of a batch writes a page of its own.
// --sequential-guids gives ids in insertion order instead. Where the system counts the bytes
// a process hands to write calls (/proc/self/io on Linux), the bytes written per row are
// printed too: the store's cost follows them (WAL frames plus the checkpoint at each close).
// --drop-guid-index removes the index after the store is made, to show what the upload side costs
// without it (use small sizes: the total grows with the square).
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sync/log/md5.h"
#include "sync/store/database_operator.h"

namespace quillet {
namespace {

constexpr size_t kBatch = 100;
const char* const kStepNames[] = {"insert", "read by type", "update by guid", "update by luid",
                                  "delete by guid"};
constexpr size_t kSteps = sizeof(kStepNames) / sizeof(kStepNames[0]);

struct Options {
  std::vector<size_t> sizes = {10000, 100000};
  int runs = 3;
  std::string dir;
  bool sequentialGuids = false;
  bool dropGuidIndex = false;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "store_bench: %s\n", what.c_str());
  std::exit(2);
}

// Rows shaped like a synced collection: sequential local ids, 32-digit cloud ids.
std::vector<EtagItem> MakeRows(size_t count, bool sequentialGuids) {
  std::vector<EtagItem> rows(count);
  for (size_t i = 0; i < count; ++i) {
    rows[i].luid = u"local-" + ToWide(static_cast<long long>(i));
    rows[i].type = u"note";
    if (sequentialGuids) {
      char guid[40];
      std::snprintf(guid, sizeof guid, "%032zu", i);
      rows[i].guid = Ascii(guid);
    } else {
      rows[i].guid = Ascii(Md5Hex("guid-" + std::to_string(i)).c_str());
    }
    rows[i].etag = u"etag-1-" + ToWide(static_cast<long long>(i));
    rows[i].hash = Ascii(Md5Hex("hash-" + std::to_string(i)).c_str());
  }
  return rows;
}

// Bytes this process has handed to write calls so far; -1 where the system does not say.
long long BytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}

struct StepCost {
  double seconds = 0;
  long long bytes = -1;  // written during the step; -1 when unknown
};

template <typename Work>
StepCost Measure(Work work) {
  const long long bytesBefore = BytesWritten();
  const auto start = std::chrono::steady_clock::now();
  work();
  StepCost cost;
  cost.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long long bytesAfter = BytesWritten();
  if (bytesBefore >= 0 && bytesAfter >= bytesBefore) cost.bytes = bytesAfter - bytesBefore;
  return cost;
}

size_t CountRows(DataBaseOperator& store) {
  std::vector<EtagItem> rows;
  if (!store.GetEtagDataItemsByType(rows, u"note")) Fail("read failed");
  return rows.size();
}

void DropGuidIndex(DataBaseOperator& store) {
  sqlite3* db = nullptr;
  const std::string path = WideToUtf8(store.DbPath());
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "DROP INDEX etag_guid_index;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail("cannot drop the guid index");
  }
  sqlite3_close(db);
}

// One run on a fresh store: the cost of each step.
std::vector<StepCost> RunOnce(const Options& options, size_t size, const std::string& dir) {
  DataBaseOperator& store = DataBaseOperator::GetInstance();
  if (!store.IntiDataBase(u"bench-user", Utf8ToWide(dir + "/"))) Fail("IntiDataBase failed");
  if (options.dropGuidIndex) DropGuidIndex(store);
  const std::vector<EtagItem> rows = MakeRows(size, options.sequentialGuids);
  std::vector<StepCost> cost(kSteps);

  cost[0] = Measure([&] {
    for (size_t at = 0; at < size; at += kBatch) {
      const std::vector<EtagItem> batch(rows.begin() + at,
                                        rows.begin() + std::min(size, at + kBatch));
      if (!store.InsertEtagDataBatch(batch)) Fail("insert failed");
    }
  });
  std::vector<EtagItem> readBack;
  cost[1] = Measure([&] {
    if (!store.GetEtagDataItemsByType(readBack, u"note")) Fail("read failed");
  });
  if (readBack.size() != size) Fail("read back " + std::to_string(readBack.size()) + " rows");

  const auto updateStep = [&](const char16_t* column, const char16_t* etagPrefix) {
    return Measure([&] {
      for (size_t at = 0; at < size; at += kBatch) {
        std::vector<EtagUpdate> batch;
        for (size_t i = at; i < std::min(size, at + kBatch); ++i) {
          const WString& key = WString(column) == u"guid" ? rows[i].guid : rows[i].luid;
          batch.push_back({{{column, key}}, {{u"etag", etagPrefix + rows[i].luid}}});
        }
        if (!store.UpdateEtagBatch(batch)) Fail("update failed");
      }
    });
  };
  cost[2] = updateStep(u"guid", u"etag-2-");
  cost[3] = updateStep(u"luid", u"etag-3-");
  readBack.clear();
  if (!store.GetEtagDataItemsByType(readBack, u"note") || readBack.size() != size ||
      readBack.back().etag != u"etag-3-" + readBack.back().luid) {
    Fail("updates did not reach every row");
  }

  cost[4] = Measure([&] {
    for (size_t at = 0; at < size; at += kBatch) {
      std::vector<WString> guids;
      for (size_t i = at; i < std::min(size, at + kBatch); ++i) guids.push_back(rows[i].guid);
      if (!store.DeleteEtagBatchWithUid(guids, 1)) Fail("delete failed");
    }
  });
  if (CountRows(store) != 0) Fail("rows left after the deletes");
  return cost;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--sizes" && hasValue) {
      options.sizes.clear();
      for (const char* at = argv[++i]; *at != '\0';) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(at, &end, 10);
        if (end == at || value == 0) Fail("bad --sizes");
        options.sizes.push_back(static_cast<size_t>(value));
        at = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0') Fail("bad --sizes");
      }
    } else if (arg == "--runs" && hasValue) {
      options.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dir" && hasValue) {
      options.dir = argv[++i];
    } else if (arg == "--sequential-guids") {
      options.sequentialGuids = true;
    } else if (arg == "--drop-guid-index") {
      options.dropGuidIndex = true;
    } else {
      Fail(
          "usage: store_bench [--sizes N,M] [--runs R] [--dir DIR] [--sequential-guids] "
          "[--drop-guid-index]");
    }
  }
  if (options.sizes.empty()) Fail("no sizes");
  return options;
}

// A table's heading: one column per size for each measure, then the ratio of every larger
// size to the smallest.
void PrintHeading(const char* first, const std::vector<std::string>& measures,
                  const std::vector<size_t>& sizes) {
  std::printf("%-16s", first);
  for (const std::string& measure : measures) {
    for (size_t size : sizes) std::printf(" %15s", (measure + std::to_string(size)).c_str());
  }
  for (size_t z = 1; z < sizes.size(); ++z) {
    std::printf(" %9s", ("x @" + std::to_string(sizes[z])).c_str());
  }
  std::printf("\n");
}

int Main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::string base =
      options.dir.empty() ? std::filesystem::temp_directory_path().string() : options.dir;
  base += "/quillet-bench-XXXXXX";
  if (mkdtemp(&base[0]) == nullptr) Fail("cannot create a directory under " + base);

  // best[size][step]: the lowest seconds per row over the runs. Sizes take turns, so a
  // burst of load on a shared machine cannot favour one size; the lowest figure is the one
  // least disturbed by it.
  std::vector<std::vector<double>> best(options.sizes.size(), std::vector<double>(kSteps, 1e300));
  // written[size][step]: bytes written per row (the same in every run, so the last one).
  std::vector<std::vector<double>> written(options.sizes.size(), std::vector<double>(kSteps, -1));
  int run = 0;
  for (int r = 0; r < options.runs; ++r) {
    for (size_t z = 0; z < options.sizes.size(); ++z) {
      const size_t size = options.sizes[z];
      const std::string dir = base + "/run-" + std::to_string(run++);
      const std::vector<StepCost> cost = RunOnce(options, size, dir);
      for (size_t s = 0; s < kSteps; ++s) {
        best[z][s] = std::min(best[z][s], cost[s].seconds / size);
        written[z][s] = cost[s].bytes < 0 ? -1.0 : static_cast<double>(cost[s].bytes) / size;
      }
      std::filesystem::remove_all(dir);
    }
  }
  std::filesystem::remove_all(base);

  std::printf("store_bench: batches of %zu rows, best of %d run(s), %s guids%s\n", kBatch,
              options.runs, options.sequentialGuids ? "sequential" : "random",
              options.dropGuidIndex ? ", without the guid index" : "");
  PrintHeading("step", {"rows/s @", "us/row @"}, options.sizes);
  bool withinBound = true;
  for (size_t s = 0; s < kSteps; ++s) {
    std::printf("%-16s", kStepNames[s]);
    for (const auto& perRow : best) std::printf(" %15.0f", 1.0 / perRow[s]);
    for (const auto& perRow : best) std::printf(" %15.2f", perRow[s] * 1e6);
    for (size_t z = 1; z < best.size(); ++z) {
      const double ratio = best[z][s] / best[0][s];
      std::printf(" %9.2f", ratio);
      if (z + 1 == best.size() && ratio > 1.3) withinBound = false;
    }
    std::printf("\n");
  }
  if (written[0][0] >= 0) {
    std::printf("\n");
    PrintHeading("written", {"KiB/row @"}, options.sizes);
    for (size_t s = 0; s < kSteps; ++s) {
      std::printf("%-16s", kStepNames[s]);
      for (const auto& perRow : written) std::printf(" %15.2f", perRow[s] / 1024);
      for (size_t z = 1; z < written.size(); ++z) {
        // A step that writes next to nothing (the read) has no meaningful ratio.
        if (written[0][s] >= 64) {
          std::printf(" %9.2f", written[z][s] / written[0][s]);
        } else {
          std::printf(" %9s", "-");
        }
      }
      std::printf("\n");
    }
  }
  std::printf("per-row cost at %zu rows %s 1.3x of the cost at %zu rows\n", options.sizes.back(),
              withinBound ? "within" : "NOT within", options.sizes.front());
  return withinBound ? 0 : 1;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) { return quillet::Main(argc, argv); }
