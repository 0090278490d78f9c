// A program run as a child process with its output (stdout and stderr on one pipe) read line
// by line, so a test can wait for a moment in its run and end it there with a signal.
#ifndef QUILLET_EXAMPLES_KILL_RERUN_CHILD_PROCESS_H_
#define QUILLET_EXAMPLES_KILL_RERUN_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quillet {
namespace killrerun {

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Read { kLine, kEnd, kTimeout };

  ChildProcess() = default;
  // A child still running is killed and reaped: no test leaves processes behind.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path) with argv. False with a reason when it cannot be started.
  bool Start(const std::vector<std::string>& argv, std::string* error);
  // The next line of output (without its newline), kEnd once the output is closed, or
  // kTimeout when nothing complete arrived by the deadline.
  Read ReadLine(std::string* line, Clock::time_point deadline);
  // Reads the rest of the output and waits for the end; the wait status. A child still
  // running after the limit is killed (a hang must fail the test, not stall it).
  int Finish(Clock::duration limit);
  // Sends a signal (nothing when the child was already reaped).
  void Signal(int signal);

  pid_t pid() const { return pid_; }
  // Everything read so far.
  const std::string& output() const { return output_; }

 private:
  int Reap();

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
  std::string output_;
};

// Runs a program to its end (killed after the limit); its output goes to *output. The wait
// status, or -1 when it could not be started (the reason in *output).
int RunToEnd(const std::vector<std::string>& argv, ChildProcess::Clock::duration limit,
             std::string* output);

}  // namespace killrerun
}  // namespace quillet

#endif  // QUILLET_EXAMPLES_KILL_RERUN_CHILD_PROCESS_H_
