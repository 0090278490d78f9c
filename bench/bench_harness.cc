#include "bench/bench_harness.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <sstream>
#include <thread>

namespace quillet {
namespace bench {
namespace {

const char kServerProgram[] = "quillet_sync_server";
const char kCertDir[] = "test_certs";  // served with the certificate Cacert.pem vouches for

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteCounts(FILE* out, const char* phase, const ServerCounts& counts) {
  fprintf(out, "connections %s %ld %ld\n", phase, counts.connections, counts.resumed);
  for (const auto& [method, count] : counts.requests) {
    fprintf(out, "requests %s %s %ld\n", phase, method.c_str(), count);
  }
}

struct Server {
  pid_t pid = 0;
  std::string url;
  std::string statsFile;
};

// Starts the reference server with its port and stats files in work; false when it does
// not come up (its log stays in work).
bool StartServer(const ServerSettings& settings, const std::string& work, Server* server) {
  const std::string dir = ExecutableDirectory();
  const std::string program = dir + "/" + kServerProgram;
  const std::string cert = dir + "/" + kCertDir + "/server.pem";
  const std::string key = dir + "/" + kCertDir + "/server.key";
  const std::string portFile = work + "/port";
  const std::string logFile = work + "/server.log";
  const std::string interval = std::to_string(settings.intervalSeconds);
  server->statsFile = work + "/stats";
  fflush(stdout);  // or the child would print our pending output again
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (!freopen(logFile.c_str(), "w", stdout) || !freopen(logFile.c_str(), "a", stderr)) _exit(2);
    execl(program.c_str(), program.c_str(), "--cert", cert.c_str(), "--key", key.c_str(), "--port",
          "0", "--port-file", portFile.c_str(), "--interval", interval.c_str(), "--stats",
          server->statsFile.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200; ++i) {
    std::ifstream in(portFile);
    int port = 0;
    if (in >> port && port > 0) {
      server->pid = pid;
      server->url = "https://127.0.0.1:" + std::to_string(port) + "/";
      return true;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fprintf(stderr, "the sync server did not start (see %s)\n", logFile.c_str());
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return false;
}

// The child wrote cumulative counts after each phase; each phase keeps its own.
void ToPhaseCounts(RunFigures* figures) {
  ServerCounts before;
  for (const char* name : kPhases) {
    const auto phase = figures->phases.find(name);
    if (phase == figures->phases.end()) continue;
    const ServerCounts cumulative = phase->second.counts;
    phase->second.counts = cumulative.Minus(before);
    before = cumulative;
  }
}

}  // namespace

ServerCounts ServerCounts::Minus(const ServerCounts& earlier) const {
  ServerCounts out = *this;
  out.connections -= earlier.connections;
  out.resumed -= earlier.resumed;
  for (const auto& [method, count] : earlier.requests) out.requests[method] -= count;
  for (auto it = out.requests.begin(); it != out.requests.end();) {
    it = it->second == 0 ? out.requests.erase(it) : std::next(it);
  }
  return out;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long MaxRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string RecordData(int n) {
  std::string data = "{\"title\":\"Bookmark " + std::to_string(n) +
                     "\",\"url\":\"https://bench.example/page/" + std::to_string(n) +
                     "\",\"note\":\"";
  while (data.size() < 190) data += "abcdefghij";
  return data + "\"}";
}

std::string ExecutableDirectory() {
  char path[4096];
  const ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
  if (len <= 0) return ".";
  path[len] = '\0';
  std::string dir(path);
  return dir.substr(0, dir.rfind('/'));
}

bool ParseServerCounts(const std::string& text, ServerCounts* counts) {
  std::istringstream in(text);
  std::string key;
  ServerCounts read;
  bool sawSnapshot = false;
  while (in >> key) {
    if (key == "snapshot") {
      sawSnapshot = static_cast<bool>(in >> read.snapshot);
    } else if (key == "connections") {
      in >> read.connections;
    } else if (key == "resumed") {
      in >> read.resumed;
    } else if (key == "requests") {
      std::string method;
      long count = 0;
      if (in >> method >> count) read.requests[method] = count;
    } else {
      return false;
    }
    if (!in) return false;
  }
  if (!sawSnapshot) return false;
  *counts = read;
  return true;
}

bool PhaseRecorder::Phase(const char* name, int n, const std::function<bool()>& body) {
  const double wall = Now();
  const double cpu = CpuSeconds();
  const bool ok = body();
  const Usage usage{Now() - wall, CpuSeconds() - cpu};
  if (!ok) {
    fprintf(stderr, "%s of %d records failed\n", name, n);
    return false;
  }
  fprintf(out_, "phase %s %d %.6f %.6f\n", name, n, usage.wall, usage.cpu);

  // The server has counted every request of the phase before answering it.
  const int wanted = ++snapshots_;
  if (kill(server_, SIGUSR1) != 0) {
    fprintf(stderr, "cannot signal the sync server\n");
    return false;
  }
  ServerCounts counts;
  for (int i = 0; i < 1000; ++i) {
    if (ParseServerCounts(ReadFile(statsFile_), &counts) && counts.snapshot == wanted) {
      WriteCounts(out_, name, counts);
      fflush(out_);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  fprintf(stderr, "the sync server wrote no counts into %s\n", statsFile_.c_str());
  return false;
}

bool RunMeasured(int n, const ServerSettings& settings, const RunBody& body, RunFigures* figures) {
  char pattern[] = "/tmp/quillet-bench-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  const std::string work = pattern;
  Server server;
  if (!StartServer(settings, work, &server)) return false;
  const std::string results = work + "/results";

  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    FILE* out = fopen(results.c_str(), "w");
    bool ok = false;
    if (out) {
      PhaseRecorder phases(server.pid, server.statsFile, out);
      ok = body(n, server.url, work, phases);
      fprintf(out, "maxrss %d %ld\n", n, MaxRssKb());
      ok = fclose(out) == 0 && ok;
    }
    _exit(ok ? 0 : 1);
  }
  int status = 1;
  if (child > 0) waitpid(child, &status, 0);
  kill(server.pid, SIGTERM);
  waitpid(server.pid, nullptr, 0);

  bool ok = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (ok) {
    std::ifstream in(results);
    ok = ReadFigures(in, figures) && figures->phases.size() == std::size(kPhases);
    if (!ok) fprintf(stderr, "the results of N = %d are incomplete (%s)\n", n, results.c_str());
  }
  if (!ok) {
    fprintf(stderr, "run with N = %d failed; its files stay in %s\n", n, work.c_str());
    return false;
  }
  ToPhaseCounts(figures);
  figures->n = n;
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  return true;
}

void WriteFigures(FILE* out, const RunFigures& figures) {
  for (const char* name : kPhases) {
    const auto phase = figures.phases.find(name);
    if (phase == figures.phases.end()) continue;
    const Usage& u = phase->second.usage;
    fprintf(out, "phase %s %d %.6f %.6f\n", name, figures.n, u.wall, u.cpu);
    WriteCounts(out, name, phase->second.counts);
  }
  fprintf(out, "maxrss %d %ld\n", figures.n, figures.maxrssKb);
  fflush(out);
}

bool ReadFigures(std::istream& in, RunFigures* figures) {
  RunFigures read;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, phase;
    if (!(fields >> kind)) continue;
    if (kind == "maxrss") {
      if (!(fields >> read.n >> read.maxrssKb)) return false;
      continue;
    }
    if (!(fields >> phase)) return false;
    PhaseFigures& p = read.phases[phase];
    if (kind == "phase") {
      if (!(fields >> read.n >> p.usage.wall >> p.usage.cpu)) return false;
    } else if (kind == "connections") {
      if (!(fields >> p.counts.connections >> p.counts.resumed)) return false;
    } else if (kind == "requests") {
      std::string method;
      long count = 0;
      if (!(fields >> method >> count)) return false;
      p.counts.requests[method] = count;
    } else {
      return false;
    }
  }
  *figures = read;
  return true;
}

}  // namespace bench
}  // namespace quillet
