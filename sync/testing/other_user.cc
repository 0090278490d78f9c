#include "sync/testing/other_user.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <iterator>

namespace quillet {
namespace testing {

#ifndef _WIN32

bool CanActAsOtherUser() { return geteuid() == 0; }

bool AsOtherUser(const std::function<bool()>& steps) {
  if (!CanActAsOtherUser()) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const gid_t gid = kOtherUid;
    umask(0);
    if (setgroups(1, &gid) != 0 || setgid(kOtherUid) != 0 || setuid(kOtherUid) != 0 ||
        geteuid() != kOtherUid) {
      _exit(2);
    }
    _exit(steps() ? 0 : 1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MakeSharedFolder(const std::string& path) {
  // The parents must let the other user through: test folders are 0700.
  std::string parent = path.substr(0, path.find_last_of('/'));
  if (chmod(parent.c_str(), 0755) != 0) return false;
  return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), 01777) == 0;
}

long OwnerOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_uid) : -1;
}

#else

bool CanActAsOtherUser() { return false; }
bool AsOtherUser(const std::function<bool()>&) { return false; }
bool MakeSharedFolder(const std::string&) { return false; }
long OwnerOf(const std::string&) { return -1; }

#endif

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing
}  // namespace quillet
