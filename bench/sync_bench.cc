// Sync benchmark: an initial upload and an initial download of N records of about 200
// bytes (batch 100) through the reference sync server running as its own process, then a
// round with nothing to do. Prints records per second, the CPU time of this (the
// library's) process and its peak memory, the requests and connections the server counted,
// and compares the per-record cost across sizes.
//
//   sync_bench [N ...]        default: 10000 100000
//   sync_bench --raw N        one size; the figures as text lines, for floor_bench
//   --interval SECONDS        keep-alive interval the server tells the library (default 60)
//
// Each size runs in a fresh child process against a fresh server, so peak memory and CPU
// time are the library's for that size alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_harness.h"
#include "sync/e2e/model_host.h"

namespace {

using quillet::bench::PhaseRecorder;
using quillet::bench::RunFigures;
using quillet::bench::ServerCounts;
using quillet::bench::Usage;
using quillet::e2e::ModelDevice;

bool RunSize(int n, const std::string& url, const std::string& work, PhaseRecorder& phases) {
  ModelDevice up("uploader", work, url, quillet::bench::kUser, quillet::bench::kToken);
  ModelDevice down("downloader", work, url, quillet::bench::kUser, quillet::bench::kToken);
  up.keepEvents = false;
  down.keepEvents = false;
  for (int i = 0; i < n; ++i) up.Add(quillet::bench::RecordData(i));

  const int batch = quillet::bench::kBatch;
  int code = 0;
  if (!phases.Phase("upload", n, [&] { return (code = up.Sync(batch)) == 0; }) ||
      up.ByGuid().size() != static_cast<size_t>(n)) {
    fprintf(stderr, "upload of %d records failed: code %d\n", n, code);
    return false;
  }
  if (!phases.Phase("download", n, [&] { return (code = down.Sync(batch)) == 0; }) ||
      down.Records().size() != static_cast<size_t>(n)) {
    fprintf(stderr, "download of %d records failed: code %d, %zu held\n", n, code,
            down.Records().size());
    return false;
  }
  if (!phases.Phase("nochange", n, [&] { return (code = down.Sync(batch)) == 0; })) {
    fprintf(stderr, "no-change round failed: code %d\n", code);
    return false;
  }
  if (!down.Problems().empty() || down.OutstandingArrays() != 0) {
    fprintf(stderr, "the downloading host is inconsistent after the run\n");
    return false;
  }
  return true;
}

void PrintPhase(const char* name, int n, const Usage& u) {
  printf("  %-9s %8.2f s wall %10.0f rec/s   cpu %7.2f s  %7.1f us/rec\n", name, u.wall, n / u.wall,
         u.cpu, u.cpu * 1e6 / n);
}

void PrintCounts(const char* name, const ServerCounts& counts) {
  printf("  %-9s requests", name);
  for (const auto& [method, count] : counts.requests) printf(" %s %ld", method.c_str(), count);
  printf(", connections %ld (%ld resumed)\n", counts.connections, counts.resumed);
}

// "--raw N": the text lines floor_bench reads. Parses "--interval S" in both forms.
bool ParseArguments(int argc, char** argv, std::vector<int>* sizes, bool* raw,
                    quillet::bench::ServerSettings* settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--raw") {
      *raw = true;
    } else if (arg == "--interval" && i + 1 < argc) {
      settings->intervalSeconds = atoi(argv[++i]);
      if (settings->intervalSeconds <= 0) return false;
    } else {
      const int n = atoi(arg.c_str());
      if (n <= 0) return false;
      sizes->push_back(n);
    }
  }
  return !*raw || sizes->size() == 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  bool raw = false;
  quillet::bench::ServerSettings settings;
  if (!ParseArguments(argc, argv, &sizes, &raw, &settings)) {
    fprintf(stderr, "usage: sync_bench [N ...] | sync_bench --raw N   [--interval SECONDS]\n");
    return 2;
  }
  if (sizes.empty()) sizes = {10000, 100000};

  std::vector<RunFigures> all;
  for (int n : sizes) {
    RunFigures f;
    if (!quillet::bench::RunMeasured(n, settings, RunSize, &f)) {
      fprintf(stderr, "run with N = %d failed\n", n);
      return 1;
    }
    if (raw) {
      quillet::bench::WriteFigures(stdout, f);
      return 0;
    }
    printf("N = %d (batch 100, ~200-byte records), peak memory %.1f MiB\n", n, f.maxrssKb / 1024.0);
    PrintPhase("upload", n, f.phases["upload"].usage);
    PrintPhase("download", n, f.phases["download"].usage);
    const Usage& nochange = f.phases["nochange"].usage;
    printf("  %-9s %8.3f s wall                    cpu %7.3f s\n", "no-change", nochange.wall,
           nochange.cpu);
    for (const char* name : quillet::bench::kPhases) PrintCounts(name, f.phases[name].counts);
    all.push_back(f);
  }

  int failures = 0;
  if (all.size() >= 2) {
    RunFigures& small = all.front();
    RunFigures& large = all.back();
    auto ratio = [&](const Usage& s, const Usage& l, bool cpu) {
      const double a = (cpu ? s.cpu : s.wall) / small.n;
      const double b = (cpu ? l.cpu : l.wall) / large.n;
      return b / a;
    };
    printf("per-record cost, N = %d against N = %d (target <= 1.30):\n", large.n, small.n);
    for (const char* name : {"upload", "download"}) {
      const Usage& s = small.phases[name].usage;
      const Usage& l = large.phases[name].usage;
      const double cpu = ratio(s, l, true);
      const double wall = ratio(s, l, false);
      printf("  %-9s cpu %.2fx  wall %.2fx  %s\n", name, cpu, wall,
             cpu <= 1.3 && wall <= 1.3 ? "ok" : "MISSED");
      failures += !(cpu <= 1.3 && wall <= 1.3);
    }
    const double largeNochange = large.phases["nochange"].usage.wall;
    const bool quick = largeNochange < 0.5;
    printf("  no-change round over %d records: %.3f s (target < 0.5 s) %s\n", large.n,
           largeNochange, quick ? "ok" : "MISSED");
    failures += !quick;
  }
  return failures == 0 ? 0 : 3;
}
