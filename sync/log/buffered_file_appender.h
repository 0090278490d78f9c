// A log4cpp rolling file appender that collects lines in memory and writes them with one
// write(2) per flush instead of one per line, and formats the library's own line layout
// without log4cpp's pattern machinery. What reaches the file, and when it rolls over, is
// what log4cpp's RollingFileAppender with the same settings writes.
//
// Lines wait in memory only while the library works on its own: FlushLogs (logger.h) runs
// before every request, every call into the host and at the end of every exported call;
// an error line, a full buffer or a file about to reach its size limit flush at once. A
// process killed in the middle of such a stretch loses the lines of that stretch only.
//
// Not thread-safe, like log4cpp's file appenders: the logger's lock serialises every use.
#ifndef QUILLET_SYNC_LOG_BUFFERED_FILE_APPENDER_H_
#define QUILLET_SYNC_LOG_BUFFERED_FILE_APPENDER_H_

#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/RollingFileAppender.hh>

#include <ctime>
#include <string>

namespace quillet {

class BufferedRollingFileAppender : public log4cpp::RollingFileAppender {
 public:
  // The conversion pattern formatted natively; any other pattern goes through the layout.
  static const char kLinePattern[];  // "%d{%Y-%m-%d %H:%M:%S,%l} %p %m%n"
  // A flush is due once this many bytes wait.
  static constexpr size_t kFlushBytes = 64 * 1024;

  // Same arguments as log4cpp's RollingFileAppender; pattern is the conversion pattern of
  // the PatternLayout the appender formats with.
  BufferedRollingFileAppender(const std::string& name, const std::string& fileName,
                              size_t maxFileSize, unsigned int maxBackupIndex, bool append,
                              mode_t mode, const std::string& pattern);
  ~BufferedRollingFileAppender() override;

  // Writes every waiting line; rolls the file over when it has reached its size limit.
  void Flush();
  bool reopen() override;
  void close() override;
  void rollOver() override;

  // Whether lines are formatted natively (the pattern is kLinePattern and formats as
  // log4cpp's PatternLayout does on this platform).
  bool FormatsNatively() const { return native_; }
  // The line of event as this appender formats it (for tests).
  std::string Format(const log4cpp::LoggingEvent& event);

  // Appends the line log4cpp would for an event of priority and message made now, without
  // making the event, for a category whose only appender this is (the caller's promise).
  // False, with nothing written, when the line must go through log4cpp instead: the
  // appender does not format natively, or has a filter. The threshold is honoured.
  bool AppendDirect(log4cpp::Priority::Value priority, const std::string& message);

  // Replaces every log4cpp::RollingFileAppender with a PatternLayout and no filter that is
  // attached to category, and to no other category, by a BufferedRollingFileAppender with
  // the same name, file, limits, threshold and pattern. Returns how many were replaced.
  // A replaced appender the category does not own is only closed, unless deleteUnowned:
  // log4cpp's PropertyConfigurator attaches its appenders unowned and never deletes them,
  // so right after it has run nothing else holds them.
  static int ReplaceIn(log4cpp::Category& category, bool deleteUnowned = false);

 protected:
  void _append(const log4cpp::LoggingEvent& event) override;

 private:
  void AppendLine(const log4cpp::LoggingEvent& event, std::string* out);
  void AppendNativeLine(const log4cpp::TimeStamp& time, log4cpp::Priority::Value priority,
                        const std::string& message, std::string* out);
  // Counts the line appended from start on and flushes when one is due.
  void Appended(log4cpp::Priority::Value priority, size_t start);
  void WriteBuffer();
  void RememberFileSize();
  std::string BackupName(unsigned int index) const;

  std::string buffer_;
  size_t pending_ = 0;   // bytes the buffer makes on disk: more than its size in text mode
  size_t fileSize_ = 0;  // as of the last write or open
  bool textMode_ = false;  // the CRT writes each "\n" as "\r\n" (Windows)
  bool native_ = false;
  // The timestamp text up to the milliseconds, for the second it was made for.
  std::time_t cachedSecond_ = -1;
  std::string cachedTime_;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_LOG_BUFFERED_FILE_APPENDER_H_
