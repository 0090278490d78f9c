// What the sync benchmarks share: the records they sync, a fresh reference server process per
// run, a measured child process per run (its CPU time and peak memory are the client's
// alone), the server's request and connection counts after each phase, and the text lines
// in which a run's figures travel between processes.
#ifndef QUILLET_BENCH_BENCH_HARNESS_H_
#define QUILLET_BENCH_BENCH_HARNESS_H_

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <iosfwd>
#include <map>
#include <string>

namespace quillet {
namespace bench {

// The phases of one run, in the order they run.
inline const char* const kPhases[] = {"upload", "download", "nochange"};
inline constexpr int kBatch = 100;

// Identity of the benchmark's account, as both kinds of client present it.
inline constexpr char kUser[] = "bench-user";
inline constexpr char kToken[] = "bench-token";
inline constexpr char kAppId[] = "quillet-e2e";

struct Usage {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds of the whole process
};

// What the server counted: cumulative in a snapshot, one phase's after Minus.
struct ServerCounts {
  int snapshot = 0;
  long connections = 0;
  long resumed = 0;                      // connections that resumed an earlier TLS session
  std::map<std::string, long> requests;  // by method

  ServerCounts Minus(const ServerCounts& earlier) const;
};

struct PhaseFigures {
  Usage usage;
  ServerCounts counts;
};

struct RunFigures {
  int n = 0;
  std::map<std::string, PhaseFigures> phases;  // by name, see kPhases
  long maxrssKb = 0;
};

struct ServerSettings {
  int intervalSeconds = 60;  // keep-alive interval the server tells its clients
};

double CpuSeconds();
double Now();
long MaxRssKb();
// Record number n: about 200 bytes of JSON text.
std::string RecordData(int n);
std::string ExecutableDirectory();

// Runs the phases inside the measured process: each is timed, then the server's counts are
// read (outside the timing).
class PhaseRecorder {
 public:
  PhaseRecorder(pid_t server, std::string statsFile, FILE* out)
      : server_(server), statsFile_(std::move(statsFile)), out_(out) {}

  // False (with a message on stderr) when body fails or the counts cannot be read.
  bool Phase(const char* name, int n, const std::function<bool()>& body);

 private:
  pid_t server_;
  std::string statsFile_;
  FILE* out_;
  int snapshots_ = 0;
};

// body(n, url, workDir, phases) runs the phases of one run against the server at url and
// returns false on failure.
using RunBody = std::function<bool(int n, const std::string& url, const std::string& work,
                                   PhaseRecorder& phases)>;

// One run of size n: a fresh server, body in a child process of its own, the server stopped.
// Fills *figures with each phase's own counts. False (with a message on stderr) on failure.
bool RunMeasured(int n, const ServerSettings& settings, const RunBody& body, RunFigures* figures);

// The text form of a run's figures ("phase", "requests", "connections" and "maxrss" lines).
void WriteFigures(FILE* out, const RunFigures& figures);
bool ReadFigures(std::istream& in, RunFigures* figures);

// Parses a server stats file's text.
bool ParseServerCounts(const std::string& text, ServerCounts* counts);

}  // namespace bench
}  // namespace quillet

#endif  // QUILLET_BENCH_BENCH_HARNESS_H_
