// Reads what the library logged: the three log files under a LogPath, from the point where
// the capture was made. Works with the default property file beside the test executable.
#ifndef QUILLET_SYNC_TESTING_LOG_CAPTURE_H_
#define QUILLET_SYNC_TESTING_LOG_CAPTURE_H_

#include <string>
#include <vector>

namespace quillet {
namespace testing {

class LogCapture {
 public:
  // logPath: the LogPath given to the library (logs live in logPath/Quillet).
  explicit LogCapture(const std::string& logPath);

  // Lines written since construction (or the last Reset), without the time/level prefix
  // that the property file's layout adds: each starts with "[pid]".
  std::vector<std::string> Info() const { return Read("Quillet_info.log", infoStart_); }
  std::vector<std::string> Error() const { return Read("Quillet_error.log", errorStart_); }
  std::vector<std::string> Sync() const { return Read("Quillet_sync.log", syncStart_); }
  void Reset();

  // True when some line of the list ends with text (the pid prefix is ignored).
  static bool Has(const std::vector<std::string>& lines, const std::string& text);
  static size_t Count(const std::vector<std::string>& lines, const std::string& text);
  // Whether a line's message (after its "[pid]") starts with prefix.
  static bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix);

 private:
  std::vector<std::string> Read(const char* file, size_t start) const;
  size_t SizeOf(const char* file) const;

  std::string dir_;
  size_t infoStart_ = 0;
  size_t errorStart_ = 0;
  size_t syncStart_ = 0;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_LOG_CAPTURE_H_
