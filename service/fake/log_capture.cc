#include "service/fake/log_capture.h"

#include <log4cplus/initializer.h>
#include <log4cplus/spi/loggingevent.h>

#include "service/components/logger/process_logger.h"

namespace orvex {
namespace fake {
namespace {

// Keeps log4cplus alive across tests: each wWinMain makes and drops its own initializer.
log4cplus::Initializer g_keepLog4cplus;

class CaptureAppender : public log4cplus::Appender {
 public:
  std::vector<LogLine> lines;
  ~CaptureAppender() override { destructorImpl(); }
  void close() override {}

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    lines.push_back(LogLine{event.getLogLevel(), LOG4CPLUS_TSTRING_TO_STRING(event.getMessage())});
  }
};

}  // namespace

LogCapture::LogCapture() : appender_(new CaptureAppender) {
  appender_->setName(LOG4CPLUS_TEXT("capture"));
  InitProcessLogger(L"OrvexCoreService");
  GetLogger().addAppender(appender_);
}

LogCapture::~LogCapture() { GetLogger().removeAppender(appender_); }

const std::vector<LogLine>& LogCapture::lines() const {
  return static_cast<CaptureAppender*>(appender_.get())->lines;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  for (const LogLine& line : lines()) out.push_back(line.message);
  return out;
}

size_t LogCapture::Count(const std::string& message) const {
  size_t count = 0;
  for (const LogLine& line : lines()) count += line.message == message;
  return count;
}

}  // namespace fake
}  // namespace orvex
