#include "examples/bookmarks/kill_rerun/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace quillet {
namespace killrerun {

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Reap();
  }
  if (fd_ >= 0) close(fd_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the copies, so only fds 1 and 2 reach the child.
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    pid_ = -1;
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  fd_ = fds[0];
  return true;
}

ChildProcess::Read ChildProcess::ReadLine(std::string* line, Clock::time_point deadline) {
  for (;;) {
    const size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      *line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return Read::kLine;
    }
    if (fd_ < 0) {
      if (pending_.empty()) return Read::kEnd;
      *line = pending_;  // a last line without its newline
      pending_.clear();
      return Read::kLine;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Read::kTimeout;
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Read::kTimeout;
    char buffer[4096];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd_);
      fd_ = -1;
      continue;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    output_.append(buffer, static_cast<size_t>(n));
  }
}

int ChildProcess::Finish(Clock::duration limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  std::string line;
  for (;;) {
    const Read r = ReadLine(&line, deadline);
    if (r == Read::kEnd) break;
    if (r == Read::kTimeout) {
      output_ += "\n[killed: still running after the time limit]\n";
      Signal(SIGKILL);
      while (ReadLine(&line, Clock::now() + std::chrono::seconds(5)) == Read::kLine) {
      }
      break;
    }
  }
  return Reap();
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int ChildProcess::Reap() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

int RunToEnd(const std::vector<std::string>& argv, ChildProcess::Clock::duration limit,
             std::string* output) {
  ChildProcess child;
  std::string error;
  if (!child.Start(argv, &error)) {
    *output = error;
    return -1;
  }
  const int status = child.Finish(limit);
  *output = child.output();
  return status;
}

}  // namespace killrerun
}  // namespace quillet
