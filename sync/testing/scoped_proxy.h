// Sets the user's manual HTTPS proxy for the life of the object, where the library reads it
// on each platform: the environment (HTTPS_PROXY, with https_proxy cleared) on POSIX, the
// user's Internet Settings in the registry (what WinHTTP answers from) on Windows.
#ifndef QUILLET_SYNC_TESTING_SCOPED_PROXY_H_
#define QUILLET_SYNC_TESTING_SCOPED_PROXY_H_

#include <optional>
#include <string>

namespace quillet {
namespace testing {

class ScopedProxy {
 public:
  explicit ScopedProxy(const std::string& hostAndPort);
  ~ScopedProxy();
  ScopedProxy(const ScopedProxy&) = delete;
  ScopedProxy& operator=(const ScopedProxy&) = delete;

 private:
  std::optional<std::string> oldLower_;
  std::optional<std::string> oldUpper_;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_SCOPED_PROXY_H_
