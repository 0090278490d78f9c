// FIFOs planted where the library expects its files, and a bound on a call that might block
// opening one. POSIX only. Tests only.
#ifndef QUILLET_SYNC_TESTING_FIFO_H_
#define QUILLET_SYNC_TESTING_FIFO_H_

#include <functional>
#include <string>
#include <vector>

namespace quillet {
namespace testing {

// mkfifo(path, 0600).
bool MakeFifo(const std::string& path);

// Runs call on a thread. When it has not returned within the bound (blocked in an open of
// one of the FIFOs), each FIFO is opened from both ends, which lets a blocked open go on,
// and the call is waited for. True when it returned within the bound.
bool ReturnsDespiteFifos(const std::function<void()>& call, const std::vector<std::string>& fifos,
                         int boundMs = 5000);

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_FIFO_H_
