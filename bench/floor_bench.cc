// floor_bench: the library's per-record cost against the floor of the work it does.
//
//   floor_bench [N ...] [--runs R] [--expect shared|new] [--interval SECONDS]
//       N default 10000 50000; R default 3; expect default shared; interval default 600
//   floor_bench --client new|shared N [--interval SECONDS]
//       one run of the floor client alone, its figures as text lines
//
// For each N, R times in turn: sync_bench --raw N (the library), the floor client with a
// new connection per request, the floor client sharing connections and TLS sessions; each
// run in a process of its own against a fresh reference server. Prints the minimum and
// median CPU time per record of each phase (no-change round: ms) with wall time and peak
// memory beside it, the ratios library / floor, and the requests per method and the
// connections the server counted. Fails (exit 1) when the library's requests per method
// differ from the floor client's in any phase, or its connections from those of the floor
// mode named by --expect (the mode the library is meant to connect in).
//
// The keep-alive interval is long by default so that no phase lasts long enough for a
// KEEPLOCK: those follow wall time, not work, and would differ between faster and slower
// clients.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_harness.h"
#include "bench/floor_comparison.h"
#include "bench/floor_device.h"
#include "sync/net/device_id.h"
#include "sync/platform/system_info.h"
#include "sync/platform/text.h"

namespace {

using namespace quillet::bench;  // NOLINT: the benchmark's own names

const char* const kClientHeadings[kClientCount] = {"library", "floor, new connections",
                                                   "floor, shared connections"};

struct Options {
  std::vector<int> sizes;
  int runs = 3;
  ConnectionMode expect = ConnectionMode::kShared;
  ServerSettings server;
  bool clientOnly = false;
  ConnectionMode clientMode = ConnectionMode::kShared;
};

// The header values the library derives from the machine, taken from the library itself
// once, so that both clients send the same bytes.
FloorIdentity BenchIdentity() {
  FloorIdentity identity;
  identity.syncType = "browser";
  identity.userId = kUser;
  identity.appId = kAppId;
  identity.accessToken = kToken;
  identity.deviceId = quillet::WideToUtf8(quillet::ReadDeviceId());
  identity.language = quillet::WideToUtf8(quillet::platform::PreferredUiLanguage());
  return identity;
}

bool RunFloor(ConnectionMode mode, int n, const std::string& url, const std::string& work,
              PhaseRecorder& phases) {
  const FloorIdentity identity = BenchIdentity();
  const std::string caFile = ExecutableDirectory() + "/Cacert.pem";
  FloorDevice up(mode, identity, url, work + "/uploader.dat", caFile);
  FloorDevice down(mode, identity, url, work + "/downloader.dat", caFile);
  for (int i = 0; i < n; ++i) up.Add(RecordData(i));

  std::string error;
  const auto round = [&error](FloorDevice& device) {
    return [&device, &error] { return device.Sync(kBatch, &error); };
  };
  bool ok = phases.Phase("upload", n, round(up));
  for (const auto& entry : up.records()) ok = ok && !entry.second.guid.empty();
  ok = ok && phases.Phase("download", n, round(down)) &&
       down.records().size() == static_cast<size_t>(n) && phases.Phase("nochange", n, round(down));
  if (!ok) fprintf(stderr, "floor client (%s): %s\n", ModeName(mode), error.c_str());
  return ok;
}

// Runs a program with its standard output captured; false when it does not exit with 0.
bool Capture(const std::vector<std::string>& args, std::string* output) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) output->append(buffer, got);
  close(pipeFds[0]);
  int status = 1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool RunClient(int client, int n, const Options& options, RunFigures* figures) {
  const std::string dir = ExecutableDirectory();
  const std::string size = std::to_string(n);
  const std::string interval = std::to_string(options.server.intervalSeconds);
  std::vector<std::string> args;
  if (client == kLibrary) {
    args = {dir + "/sync_bench", "--raw", size, "--interval", interval};
  } else {
    args = {dir + "/floor_bench", "--client", client == kFloorNew ? "new" : "shared", size,
            "--interval",         interval};
  }
  std::string output;
  if (!Capture(args, &output)) return false;
  std::istringstream in(output);
  return ReadFigures(in, figures) && figures->phases.size() == std::size(kPhases);
}

// ---- Figures.

double PerRecord(const RunFigures& run, const char* phase, bool cpu) {
  const Usage& u = run.phases.at(phase).usage;
  const double seconds = cpu ? u.cpu : u.wall;
  // The no-change round is one round whatever N: in ms; the others in µs per record.
  return std::string(phase) == "nochange" ? seconds * 1e3 : seconds * 1e6 / run.n;
}

template <typename Value>
Spread SpreadOver(const std::vector<RunFigures>& runs, Value value) {
  std::vector<double> values;
  for (const RunFigures& run : runs) values.push_back(value(run));
  return SpreadOf(values);
}

std::string Pair(double min, double median, const char* format) {
  char text[64];
  snprintf(text, sizeof text, format, min, median);
  return text;
}

void PrintRow(const std::string& heading, const std::array<Spread, kClientCount>& s,
              const char* format) {
  printf("| %s |", heading.c_str());
  for (const Spread& client : s) printf(" %s |", Pair(client.min, client.median, format).c_str());
  for (int base : {kFloorShared, kFloorNew}) {
    printf(" %s |",
           Pair(s[kLibrary].min / s[base].min, s[kLibrary].median / s[base].median, "%.2fx / %.2fx")
               .c_str());
  }
  printf("\n");
}

void PrintFigures(int n, const Runs& runs) {
  printf("\n### N = %d: %zu runs of each, interleaved; minimum / median\n\n", n,
         runs[kLibrary].size());
  printf("| N = %d |", n);
  for (const char* heading : kClientHeadings) printf(" %s |", heading);
  printf(" library / shared | library / new |\n|---|---|---|---|---|---|\n");
  const struct {
    const char* phase;
    const char* name;
    const char* unit;
  } rows[] = {{"upload", "upload", "µs %s per record"},
              {"download", "download", "µs %s per record"},
              {"nochange", "no-change round", "ms %s"}};
  for (const auto& row : rows) {
    for (bool cpu : {true, false}) {
      std::array<Spread, kClientCount> s;
      for (int c = 0; c < kClientCount; ++c) {
        s[c] =
            SpreadOver(runs[c], [&](const RunFigures& r) { return PerRecord(r, row.phase, cpu); });
      }
      char unit[32];
      snprintf(unit, sizeof unit, row.unit, cpu ? "CPU" : "wall");
      PrintRow(std::string(row.name) + ", " + unit, s, "%.1f / %.1f");
    }
  }
  std::array<Spread, kClientCount> memory;
  for (int c = 0; c < kClientCount; ++c) {
    memory[c] = SpreadOver(runs[c], [](const RunFigures& r) { return r.maxrssKb / 1024.0; });
  }
  PrintRow("peak memory (maxrss), MiB", memory, "%.1f / %.1f");

  // How noisy the machine was: the largest over the smallest CPU time of each phase.
  printf("| CPU max / min over the runs |");
  for (int c = 0; c < kClientCount; ++c) {
    std::string text;
    for (const char* phase : kPhases) {
      const Spread s =
          SpreadOver(runs[c], [&](const RunFigures& r) { return PerRecord(r, phase, true); });
      char part[48];
      snprintf(part, sizeof part, "%s%s %.2f", text.empty() ? "" : ", ", phase, s.max / s.min);
      text += part;
    }
    printf(" %s |", text.c_str());
  }
  printf(" | |\n");
}

void PrintCounts(int n, const Runs& runs) {
  printf("\n| requests and connections, N = %d |", n);
  for (const char* heading : kClientHeadings) printf(" %s |", heading);
  printf("\n|---|---|---|---|\n");
  for (const char* phase : kPhases) {
    printf("| %s |", phase);
    for (int c = 0; c < kClientCount; ++c) {
      const std::string first = CountsText(runs[c].front().phases.at(phase).counts);
      bool same = true;
      for (const RunFigures& run : runs[c])
        same = same && CountsText(run.phases.at(phase).counts) == first;
      printf(" %s%s |", first.c_str(), same ? "" : " (other runs differ)");
    }
    printf("\n");
  }
}

// Per-record CPU (minimum) at the largest N over the smallest.
void PrintGrowth(const std::map<int, Runs>& all) {
  const auto& small = *all.begin();
  const auto& large = *all.rbegin();
  printf("\n| CPU per record, N = %d against N = %d (minimum) |", large.first, small.first);
  for (const char* heading : kClientHeadings) printf(" %s |", heading);
  printf(" library's / shared's |\n|---|---|---|---|---|\n");
  for (const char* phase : kPhases) {
    printf("| %s |", phase);
    double growth[kClientCount];
    for (int c = 0; c < kClientCount; ++c) {
      const auto perRecordCpu = [&](const RunFigures& r) {
        return r.phases.at(phase).usage.cpu / r.n;
      };
      growth[c] = SpreadOver(large.second[c], perRecordCpu).min /
                  SpreadOver(small.second[c], perRecordCpu).min;
      printf(" %.2fx |", growth[c]);
    }
    printf(" %.2f |\n", growth[kLibrary] / growth[kFloorShared]);
  }
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

bool ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--runs" && hasValue) {
      options->runs = atoi(argv[++i]);
      if (options->runs <= 0) return false;
    } else if (arg == "--expect" && hasValue) {
      if (!ParseMode(argv[++i], &options->expect)) return false;
    } else if (arg == "--interval" && hasValue) {
      options->server.intervalSeconds = atoi(argv[++i]);
      if (options->server.intervalSeconds <= 0) return false;
    } else if (arg == "--client" && hasValue) {
      options->clientOnly = true;
      if (!ParseMode(argv[++i], &options->clientMode)) return false;
    } else {
      const int n = atoi(arg.c_str());
      if (n <= 0) return false;
      options->sizes.push_back(n);
    }
  }
  if (options->clientOnly) return options->sizes.size() == 1;
  if (options->sizes.empty()) options->sizes = {10000, 50000};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.server.intervalSeconds = 600;
  if (!ParseArguments(argc, argv, &options)) {
    fprintf(stderr,
            "usage: floor_bench [N ...] [--runs R] [--expect shared|new] [--interval SECONDS]\n"
            "       floor_bench --client new|shared N [--interval SECONDS]\n");
    return 2;
  }
  if (options.clientOnly) {
    RunFigures figures;
    const ConnectionMode mode = options.clientMode;
    const int n = options.sizes.front();
    if (!RunMeasured(
            n, options.server,
            [mode](int size, const std::string& url, const std::string& work, PhaseRecorder& p) {
              return RunFloor(mode, size, url, work, p);
            },
            &figures)) {
      return 1;
    }
    WriteFigures(stdout, figures);
    return 0;
  }

  const time_t started = time(nullptr);
  printf(
      "floor_bench: %d run(s) of each client per N, interleaved; batch %d, ~200-byte records;"
      " keep-alive interval %d s; connections checked against floor-%s\n",
      options.runs, kBatch, options.server.intervalSeconds, ModeName(options.expect));
  printf("started %s", ctime(&started));
  printf("load average at start: %s\n", LoadAverage().c_str());
  std::map<int, Runs> all;
  int failures = 0;
  for (int n : options.sizes) {
    Runs& runs = all[n];
    for (int r = 0; r < options.runs; ++r) {
      for (int c = 0; c < kClientCount; ++c) {
        RunFigures figures;
        if (!RunClient(c, n, options, &figures)) {
          fprintf(stderr, "FAILED: N = %d, run %d of %s did not complete\n", n, r + 1,
                  kClientNames[c]);
          return 3;
        }
        fprintf(stderr,
                "N = %d run %d %-12s cpu: upload %.1f us/rec, download %.1f us/rec, "
                "no-change %.1f ms; maxrss %.1f MiB\n",
                n, r + 1, kClientNames[c], PerRecord(figures, "upload", true),
                PerRecord(figures, "download", true), PerRecord(figures, "nochange", true),
                figures.maxrssKb / 1024.0);
        runs[c].push_back(std::move(figures));
      }
    }
    PrintFigures(n, runs);
    PrintCounts(n, runs);
    // Loud failures: what the library sends must be what the floor sends.
    for (const std::string& difference : CountDifferences(n, runs, options.expect)) {
      fprintf(stderr, "FAILED: %s\n", difference.c_str());
      ++failures;
    }
    fflush(stdout);
  }
  if (all.size() >= 2) PrintGrowth(all);
  printf("\nload average at the end: %s\n", LoadAverage().c_str());
  if (failures != 0) {
    fprintf(stderr,
            "FAILED: %d difference(s) between the library's and the floor client's "
            "requests or connections (above)\n",
            failures);
    return 1;
  }
  printf("requests per method equal in every phase and run; connections equal to floor-%s\n",
         ModeName(options.expect));
  return 0;
}
