// Collects what the service logic logs, with its level, for assertions.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/loglevel.h>

#include <string>
#include <vector>

namespace orvex {
namespace fake {

struct LogLine {
  log4cplus::LogLevel level;
  std::string message;
};

// Attaches itself to the process logger for its lifetime.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  const std::vector<LogLine>& lines() const;
  std::vector<std::string> messages() const;
  size_t Count(const std::string& message) const;

 private:
  log4cplus::SharedAppenderPtr appender_;
};

}  // namespace fake
}  // namespace orvex
