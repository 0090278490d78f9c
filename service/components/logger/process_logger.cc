#include "service/components/logger/process_logger.h"

#include <log4cplus/fileappender.h>
#include <log4cplus/layout.h>

#include <memory>
#include <mutex>
#include <string>

namespace orvex {
namespace {

std::mutex g_mutex;
log4cplus::tstring g_name;  // empty until InitProcessLogger ran

}  // namespace

void InitProcessLogger(const wchar_t* name) {
  const log4cplus::tstring loggerName = ToTString(std::wstring(name ? name : L"OrvexCoreService"));
  log4cplus::Logger logger = log4cplus::Logger::getInstance(loggerName);
  if (logger.getAppender(LOG4CPLUS_TEXT("process-file"))) {
    logger.removeAppender(LOG4CPLUS_TEXT("process-file"));
  }
  logger.setAdditivity(false);
  logger.setLogLevel(log4cplus::ALL_LOG_LEVEL);

  // Installer and service run share the file, so it is appended to and flushed per line.
  const log4cplus::tstring file = ExecutableDirectory() + loggerName + LOG4CPLUS_TEXT(".log");
  log4cplus::SharedAppenderPtr appender(
      new log4cplus::FileAppender(file, std::ios_base::app, /*immediateFlush=*/true));
  appender->setName(LOG4CPLUS_TEXT("process-file"));
  appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(
      LOG4CPLUS_TEXT("%D{%Y-%m-%d %H:%M:%S.%q} [%i:%t] %-5p %m [%b:%L]%n"))));
  logger.addAppender(appender);

  std::lock_guard<std::mutex> lock(g_mutex);
  g_name = loggerName;
}

log4cplus::Logger GetLogger() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(g_name);
}

}  // namespace orvex
