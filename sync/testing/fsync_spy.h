// Records what the process hands to fsync(2): the test binaries define fsync themselves,
// note the path of the descriptor and pass the call on to the C library; a journal file's
// sync may fail on demand (sync/testing/write_faults.h). POSIX only; on
// Windows nothing is recorded. Tests only.
#ifndef QUILLET_SYNC_TESTING_FSYNC_SPY_H_
#define QUILLET_SYNC_TESTING_FSYNC_SPY_H_

#include <string>
#include <vector>

namespace quillet {
namespace testing {

// Paths of the files and folders synced since the last call, in order; clears the record.
std::vector<std::string> TakeSyncedPaths();

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_FSYNC_SPY_H_
