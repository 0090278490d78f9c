// Sync benchmark: an initial upload and an initial download of N records of about 200
// bytes (batch 100) through the reference sync server running as its own process, then a
// round with nothing to do. Prints records per second, the CPU time of this (the
// library's) process and its peak memory, and compares the per-record cost across sizes.
//
//   sync_bench [N ...]        default: 10000 100000
//
// Each size runs in a fresh child process against a fresh server, so peak memory and CPU
// time are the library's for that size alone.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sync/e2e/model_host.h"

namespace {

using quillet::e2e::ModelDevice;

struct Usage {
  double wall = 0;
  double cpu = 0;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string RecordData(int n) {
  std::string data = "{\"title\":\"Bookmark " + std::to_string(n) +
                     "\",\"url\":\"https://bench.example/page/" + std::to_string(n) +
                     "\",\"note\":\"";
  while (data.size() < 190) data += "abcdefghij";
  return data + "\"}";
}

template <typename F>
Usage Measure(F&& f) {
  const double wall = Now();
  const double cpu = CpuSeconds();
  f();
  return Usage{Now() - wall, CpuSeconds() - cpu};
}

// Result line per phase, parsed back by the parent: "phase N wall cpu".
void Report(FILE* out, const char* phase, int n, const Usage& u) {
  fprintf(out, "%s %d %.6f %.6f\n", phase, n, u.wall, u.cpu);
  fflush(out);
}

int RunSize(int n, const std::string& url, const std::string& work, FILE* out) {
  ModelDevice up("uploader", work, url, "bench-user", "bench-token");
  ModelDevice down("downloader", work, url, "bench-user", "bench-token");
  up.keepEvents = false;
  down.keepEvents = false;
  for (int i = 0; i < n; ++i) up.Add(RecordData(i));

  int code = 0;
  Report(out, "upload", n, Measure([&] { code = up.Sync(100); }));
  if (code != 0 || up.ByGuid().size() != static_cast<size_t>(n)) {
    fprintf(stderr, "upload of %d records failed: code %d\n", n, code);
    return 1;
  }
  Report(out, "download", n, Measure([&] { code = down.Sync(100); }));
  if (code != 0 || down.Records().size() != static_cast<size_t>(n)) {
    fprintf(stderr, "download of %d records failed: code %d, %zu held\n", n, code,
            down.Records().size());
    return 1;
  }
  Report(out, "nochange", n, Measure([&] { code = down.Sync(100); }));
  if (code != 0) {
    fprintf(stderr, "no-change round failed: code %d\n", code);
    return 1;
  }
  if (!down.Problems().empty() || down.OutstandingArrays() != 0) {
    fprintf(stderr, "the downloading host is inconsistent after the run\n");
    return 1;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  fprintf(out, "maxrss %d %ld\n", n, usage.ru_maxrss);
  return 0;
}

std::string ExecutableDirectory() {
  char path[4096];
  const ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
  if (len <= 0) return ".";
  path[len] = '\0';
  std::string dir(path);
  return dir.substr(0, dir.rfind('/'));
}

// Starts the server; returns its pid (0 on failure) and sets *port.
pid_t StartServer(const std::string& bin, const std::string& certDir, const std::string& work,
                  int* port) {
  const std::string portFile = work + "/port";
  const std::string logFile = work + "/server.log";
  fflush(stdout);  // or the child's freopen would print our pending output again
  const pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid == 0) {
    if (!freopen(logFile.c_str(), "w", stdout) || !freopen(logFile.c_str(), "a", stderr)) _exit(2);
    const std::string cert = certDir + "/server.pem";
    const std::string key = certDir + "/server.key";
    execl(bin.c_str(), bin.c_str(), "--cert", cert.c_str(), "--key", key.c_str(), "--port", "0",
          "--port-file", portFile.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(portFile);
    if (in >> *port && *port > 0) return pid;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fprintf(stderr, "the sync server did not start (see %s)\n", logFile.c_str());
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return 0;
}

struct Figures {
  int n = 0;
  Usage upload, download, nochange;
  long maxrssKb = 0;
};

bool RunChild(int n, const std::string& bin, const std::string& certDir, Figures* figures) {
  char pattern[] = "/tmp/quillet-bench-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  const std::string work = pattern;
  int port = 0;
  const pid_t server = StartServer(bin, certDir, work, &port);
  if (server == 0) return false;
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  const std::string results = work + "/results";

  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    FILE* out = fopen(results.c_str(), "w");
    const int rc = out ? RunSize(n, url, work, out) : 1;
    if (out) fclose(out);
    _exit(rc);
  }
  int status = 1;
  if (child > 0) waitpid(child, &status, 0);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);

  bool ok = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::ifstream in(results);
  std::string phase;
  int size = 0;
  while (ok && in >> phase >> size) {
    if (phase == "maxrss") {
      in >> figures->maxrssKb;
      continue;
    }
    Usage u;
    in >> u.wall >> u.cpu;
    if (phase == "upload") figures->upload = u;
    if (phase == "download") figures->download = u;
    if (phase == "nochange") figures->nochange = u;
  }
  figures->n = n;
  std::string cleanup = "rm -rf '" + work + "'";
  if (system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", work.c_str());
  return ok;
}

void PrintPhase(const char* name, int n, const Usage& u) {
  printf("  %-9s %8.2f s wall %10.0f rec/s   cpu %7.2f s  %7.1f us/rec\n", name, u.wall, n / u.wall,
         u.cpu, u.cpu * 1e6 / n);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 100000};
  const std::string dir = ExecutableDirectory();
  const std::string bin = dir + "/quillet_sync_server";
  const std::string certDir = dir + "/test_certs";

  std::vector<Figures> all;
  for (int n : sizes) {
    if (n <= 0) {
      fprintf(stderr, "sizes must be positive\n");
      return 2;
    }
    Figures f;
    if (!RunChild(n, bin, certDir, &f)) {
      fprintf(stderr, "run with N = %d failed\n", n);
      return 1;
    }
    printf("N = %d (batch 100, ~200-byte records), peak memory %.1f MiB\n", n, f.maxrssKb / 1024.0);
    PrintPhase("upload", n, f.upload);
    PrintPhase("download", n, f.download);
    printf("  %-9s %8.3f s wall                    cpu %7.3f s\n", "no-change", f.nochange.wall,
           f.nochange.cpu);
    all.push_back(f);
  }

  int failures = 0;
  if (all.size() >= 2) {
    const Figures& small = all.front();
    const Figures& large = all.back();
    auto ratio = [&](const Usage& s, const Usage& l, bool cpu) {
      const double a = (cpu ? s.cpu : s.wall) / small.n;
      const double b = (cpu ? l.cpu : l.wall) / large.n;
      return b / a;
    };
    printf("per-record cost, N = %d against N = %d (target <= 1.30):\n", large.n, small.n);
    const struct {
      const char* name;
      const Usage& s;
      const Usage& l;
    } phases[] = {{"upload", small.upload, large.upload},
                  {"download", small.download, large.download}};
    for (const auto& p : phases) {
      const double cpu = ratio(p.s, p.l, true);
      const double wall = ratio(p.s, p.l, false);
      printf("  %-9s cpu %.2fx  wall %.2fx  %s\n", p.name, cpu, wall,
             cpu <= 1.3 && wall <= 1.3 ? "ok" : "MISSED");
      failures += !(cpu <= 1.3 && wall <= 1.3);
    }
    const bool quick = large.nochange.wall < 0.5;
    printf("  no-change round over %d records: %.3f s (target < 0.5 s) %s\n", large.n,
           large.nochange.wall, quick ? "ok" : "MISSED");
    failures += !quick;
  }
  return failures == 0 ? 0 : 3;
}
