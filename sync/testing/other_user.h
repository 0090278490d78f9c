// Another local user for tests of shared folders: steps run in a child process that has
// dropped to uid and gid 65534 ("nobody"), as a second person on the machine would act.
// Needs root (CI runs as root); POSIX only. Tests only.
#ifndef QUILLET_SYNC_TESTING_OTHER_USER_H_
#define QUILLET_SYNC_TESTING_OTHER_USER_H_

#include <functional>
#include <string>

namespace quillet {
namespace testing {

constexpr unsigned kOtherUid = 65534;

// Whether this process can act as another user (it runs as root).
bool CanActAsOtherUser();

// Runs steps as the other user in a forked child and returns what it returned (false when
// the child could not drop its rights or died). The child is forked from a process with
// threads: steps should make system calls on paths built before the call, nothing that
// takes a lock. The child's umask is 0, so modes are exactly the ones given.
bool AsOtherUser(const std::function<bool()>& steps);

// A folder every user may write to, as /tmp is (1777), made at path by this process.
bool MakeSharedFolder(const std::string& path);

// The uid that owns path (not following a link); -1 when it does not exist.
long OwnerOf(const std::string& path);

// The whole contents of a file; empty when it cannot be read.
std::string Contents(const std::string& path);

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_OTHER_USER_H_
