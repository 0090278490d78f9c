#include "sync/testing/fifo.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

namespace quillet {
namespace testing {

#ifndef _WIN32

bool MakeFifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

bool ReturnsDespiteFifos(const std::function<void()>& call, const std::vector<std::string>& fifos,
                         int boundMs) {
  std::packaged_task<void()> task(call);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  const bool inTime = done.wait_for(std::chrono::milliseconds(boundMs)) == std::future_status::ready;
  if (!inTime) {
    // Let the blocked call go on: O_RDWR on a FIFO never blocks and is both a reader and a
    // writer for a blocked open; bytes written end a blocked read, and closing again ends
    // one that waits for more. A write into a FIFO nobody reads any more must not kill the
    // test process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string junk(65536, 'x');
    while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      std::vector<int> held;
      for (const std::string& fifo : fifos) {
        const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) continue;
        if (write(fd, junk.data(), junk.size()) < 0) {
        }
        held.push_back(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (const int fd : held) close(fd);
    }
  }
  runner.join();
  return inTime;
}

#else

bool MakeFifo(const std::string&) { return false; }
bool ReturnsDespiteFifos(const std::function<void()>& call, const std::vector<std::string>&, int) {
  call();
  return true;
}

#endif

}  // namespace testing
}  // namespace quillet
