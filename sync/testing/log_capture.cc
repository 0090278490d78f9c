#include "sync/testing/log_capture.h"

#include <fstream>
#include <sstream>

#include "sync/log/logger.h"

namespace quillet {
namespace testing {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

LogCapture::LogCapture(const std::string& logPath)
    : dir_(logPath +
           (logPath.empty() || (logPath.back() != kSeparator && logPath.back() != '/')
                ? std::string(1, kSeparator)
                : std::string()) +
           "Quillet" + kSeparator) {
  Reset();
}

void LogCapture::Reset() {
  infoStart_ = SizeOf("Quillet_info.log");
  errorStart_ = SizeOf("Quillet_error.log");
  syncStart_ = SizeOf("Quillet_sync.log");
}

size_t LogCapture::SizeOf(const char* file) const {
  FlushLogs();  // what the library holds in memory counts as written
  std::ifstream in(dir_ + file, std::ios::binary | std::ios::ate);
  return in ? static_cast<size_t>(in.tellg()) : 0;
}

std::vector<std::string> LogCapture::Read(const char* file, size_t start) const {
  FlushLogs();
  std::vector<std::string> lines;
  std::ifstream in(dir_ + file, std::ios::binary);
  if (!in) return lines;
  in.seekg(static_cast<std::streamoff>(start));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows line ends
    // The layout puts a time stamp and level before the library's own text.
    const size_t at = line.find(" [");
    lines.push_back(at == std::string::npos ? line : line.substr(at + 1));
  }
  return lines;
}

bool LogCapture::Has(const std::vector<std::string>& lines, const std::string& text) {
  return Count(lines, text) > 0;
}

bool LogCapture::HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines) {
    const size_t close = line.find(']');
    if (close != std::string::npos && line.compare(close + 1, prefix.size(), prefix) == 0) {
      return true;
    }
  }
  return false;
}

size_t LogCapture::Count(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const std::string& line : lines) {
    const size_t close = line.find(']');
    if (close != std::string::npos && line.compare(close + 1, std::string::npos, text) == 0) ++n;
  }
  return n;
}

}  // namespace testing
}  // namespace quillet
