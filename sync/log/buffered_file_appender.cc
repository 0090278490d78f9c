#include "sync/log/buffered_file_appender.h"

#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <typeinfo>
#include <vector>

#include "sync/platform/platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quillet {
namespace {

// log4cpp keeps an appender's file name and layout to itself; reading them through a
// pointer to member of a derived class is what the language allows for protected members.
struct FileAppenderParts : log4cpp::FileAppender {
  static const std::string& FileName(const log4cpp::FileAppender& appender) {
    return appender.*(&FileAppenderParts::_fileName);
  }
};
struct LayoutAppenderParts : log4cpp::LayoutAppender {
  static log4cpp::Layout& LayoutOf(log4cpp::LayoutAppender& appender) {
    return (appender.*(&LayoutAppenderParts::_getLayout))();
  }
};

// How many of all categories hold the appender: one that another category (the host's
// own) also writes to is left as it is.
int HoldersOf(log4cpp::Appender* appender) {
  std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
  int holders = 0;
  for (log4cpp::Category* category : *all) {
    const log4cpp::AppenderSet appenders = category->getAllAppenders();
    if (appenders.count(appender) != 0) ++holders;
  }
  return holders;
}

void AppendThreeDigits(unsigned int value, std::string* out) {
  const char digits[3] = {static_cast<char>('0' + value / 100 % 10),
                          static_cast<char>('0' + value / 10 % 10),
                          static_cast<char>('0' + value % 10)};
  out->append(digits, 3);
}

}  // namespace

const char BufferedRollingFileAppender::kLinePattern[] = "%d{%Y-%m-%d %H:%M:%S,%l} %p %m%n";

BufferedRollingFileAppender::BufferedRollingFileAppender(
    const std::string& name, const std::string& fileName, size_t maxFileSize,
    unsigned int maxBackupIndex, bool append, mode_t mode, const std::string& pattern)
    : log4cpp::RollingFileAppender(name, fileName, maxFileSize, maxBackupIndex, append, mode) {
  // Every later open of the file (a new round's reopen, a rollover) refuses a link planted
  // in its place, and a file it creates is the user's alone: the lines name records.
  _flags |= platform::kNoFollowOpenFlag;
  _mode = 0600;
#ifdef _WIN32
  // log4cpp opened the file by its narrow name, which reaches no file whose path holds a
  // character outside the ANSI code page or passes MAX_PATH: the wide name is the file.
  if (_fd >= 0) ::close(_fd);
  _fd = platform::OpenDescriptor(_fileName, _flags, static_cast<int>(_mode));
#endif
  auto* layout = new log4cpp::PatternLayout();
  layout->setConversionPattern(pattern);  // throws ConfigureFailure for a bad pattern
  setLayout(layout);
  buffer_.reserve(kFlushBytes + 4096);
#ifdef _WIN32
  // log4cpp opens its files in the CRT's default text mode here.
  if (_fd >= 0) {
    const int previous = _setmode(_fd, _O_TEXT);
    if (previous != -1) _setmode(_fd, previous);
    textMode_ = previous == _O_TEXT;
  }
#endif
  RememberFileSize();
  if (pattern != kLinePattern) return;
  // Formatted natively only where that gives log4cpp's own bytes, checked on this platform
  // with a millisecond value of each width and both levels the library writes.
  native_ = true;
  const unsigned int probes[][2] = {{1700000000u, 7000u}, {1700000059u, 999999u}};
  for (const auto& probe : probes) {
    for (log4cpp::Priority::Value priority : {log4cpp::Priority::INFO, log4cpp::Priority::ERROR}) {
      log4cpp::LoggingEvent event("probe", "[1]line \"x\"", "", priority);
      event.timeStamp = log4cpp::TimeStamp(probe[0], probe[1]);
      std::string line;
      AppendLine(event, &line);
      if (line != layout->format(event)) native_ = false;
    }
  }
  cachedSecond_ = -1;
}

BufferedRollingFileAppender::~BufferedRollingFileAppender() {
  // The base class closes the file; what waits must be written first.
  WriteBuffer();
}

std::string BufferedRollingFileAppender::Format(const log4cpp::LoggingEvent& event) {
  std::string line;
  AppendLine(event, &line);
  return line;
}

void BufferedRollingFileAppender::AppendLine(const log4cpp::LoggingEvent& event,
                                             std::string* out) {
  if (!native_) {
    *out += _getLayout().format(event);
    return;
  }
  AppendNativeLine(event.timeStamp, event.priority, event.message, out);
}

void BufferedRollingFileAppender::AppendNativeLine(const log4cpp::TimeStamp& time,
                                                   log4cpp::Priority::Value priority,
                                                   const std::string& message, std::string* out) {
  const std::time_t second = static_cast<std::time_t>(time.getSeconds());
  if (second != cachedSecond_) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &second);
#else
    localtime_r(&second, &local);
#endif
    char text[64];
    const size_t size = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S,", &local);
    cachedTime_.assign(text, size);
    cachedSecond_ = second;
  }
  const std::string& level = log4cpp::Priority::getPriorityName(priority);
  out->reserve(out->size() + cachedTime_.size() + 5 + level.size() + message.size());
  *out += cachedTime_;
  AppendThreeDigits(static_cast<unsigned int>(time.getMilliSeconds()), out);
  out->push_back(' ');
  *out += level;
  out->push_back(' ');
  *out += message;
  out->push_back('\n');
}

void BufferedRollingFileAppender::_append(const log4cpp::LoggingEvent& event) {
  const size_t start = buffer_.size();
  AppendLine(event, &buffer_);
  Appended(event.priority, start);
}

bool BufferedRollingFileAppender::AppendDirect(log4cpp::Priority::Value priority,
                                               const std::string& message) {
  if (!native_ || getFilter() != nullptr) return false;
  // log4cpp's doAppend: lines above the threshold are dropped.
  if (priority > getThreshold()) return true;
  const size_t start = buffer_.size();
  AppendNativeLine(log4cpp::TimeStamp(), priority, message, &buffer_);
  Appended(priority, start);
  return true;
}

void BufferedRollingFileAppender::Appended(log4cpp::Priority::Value priority, size_t start) {
  pending_ += buffer_.size() - start;
  if (textMode_) {
    pending_ += static_cast<size_t>(std::count(buffer_.begin() + static_cast<std::ptrdiff_t>(start),
                                               buffer_.end(), '\n'));
  }
  // Error lines are written at once; the file rolls over at the line that fills it, as
  // log4cpp's appender does after each line.
  if (priority <= log4cpp::Priority::ERROR || buffer_.size() >= kFlushBytes ||
      fileSize_ + pending_ >= _maxFileSize) {
    Flush();
  }
}

void BufferedRollingFileAppender::WriteBuffer() {
  size_t done = 0;
  while (done < buffer_.size() && _fd >= 0) {
    const auto written = ::write(_fd, buffer_.data() + done,
                                 static_cast<unsigned int>(buffer_.size() - done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;  // a full disk: the lines are lost, as log4cpp's would be
    done += static_cast<size_t>(written);
  }
  buffer_.clear();
  pending_ = 0;
}

void BufferedRollingFileAppender::RememberFileSize() {
  const auto end = _fd >= 0 ? ::lseek(_fd, 0, SEEK_END) : -1;
  fileSize_ = end > 0 ? static_cast<size_t>(end) : 0;
}

void BufferedRollingFileAppender::Flush() {
  if (buffer_.empty()) return;
  WriteBuffer();
  // Other processes may write to the same file: its size is read, not counted.
  RememberFileSize();
  if (fileSize_ >= _maxFileSize) rollOver();
}

std::string BufferedRollingFileAppender::BackupName(unsigned int index) const {
  // log4cpp's names: the index zero-padded to the width of the largest one.
  const std::string digits = std::to_string(index);
  const size_t width = static_cast<size_t>(std::log10(static_cast<float>(_maxBackupIndex)) + 1);
  return _fileName + "." + std::string(width > digits.size() ? width - digits.size() : 0, '0') +
         digits;
}

// log4cpp's rollover, through the platform's calls, which take every name the library can
// hold (log4cpp's narrow ones reach no file outside the ANSI code page on Windows).
void BufferedRollingFileAppender::rollOver() {
  WriteBuffer();
  if (_fd >= 0) ::close(_fd);
  _fd = -1;
  if (_maxBackupIndex > 0) {
    std::string last = BackupName(_maxBackupIndex);
    platform::RemoveFile(last);
    for (unsigned int i = _maxBackupIndex; i > 1; --i) {
      const std::string previous = BackupName(i - 1);
      platform::RenameFile(previous, last);
      last = previous;
    }
    platform::RenameFile(_fileName, last);
  }
  _fd = platform::OpenDescriptor(_fileName, _flags, static_cast<int>(_mode));
  RememberFileSize();
}

bool BufferedRollingFileAppender::reopen() {
  WriteBuffer();
  // Where open(2) has no flag for it (Windows), a link is looked for first.
  if (platform::kNoFollowOpenFlag == 0 && platform::IsLink(_fileName)) return false;
  const int fd = platform::OpenDescriptor(_fileName, _flags, static_cast<int>(_mode));
  if (fd >= 0) {
    if (_fd >= 0) ::close(_fd);
    _fd = fd;
  }
  RememberFileSize();
  return fd >= 0;
}

void BufferedRollingFileAppender::close() {
  WriteBuffer();
  log4cpp::RollingFileAppender::close();
}

int BufferedRollingFileAppender::ReplaceIn(log4cpp::Category& category, bool deleteUnowned) {
  int replaced = 0;
  for (log4cpp::Appender* appender : category.getAllAppenders()) {
    auto* rolling = dynamic_cast<log4cpp::RollingFileAppender*>(appender);
    if (rolling == nullptr || typeid(*rolling) != typeid(log4cpp::RollingFileAppender)) continue;
    if (rolling->getFilter() != nullptr || HoldersOf(rolling) != 1) continue;
    auto* layout = dynamic_cast<log4cpp::PatternLayout*>(&LayoutAppenderParts::LayoutOf(*rolling));
    if (layout == nullptr) continue;
    const std::string name = rolling->getName();
    const std::string fileName = FileAppenderParts::FileName(*rolling);
    const std::string pattern = layout->getConversionPattern();
    const size_t maxFileSize = rolling->getMaxFileSize();
    const unsigned int maxBackupIndex = rolling->getMaxBackupIndex();
    const bool append = rolling->getAppend();
    const mode_t mode = rolling->getMode();
    const log4cpp::Priority::Value threshold = rolling->getThreshold();
    // The old one goes first: appenders are registered by name, and deleting it after the
    // new one exists would unregister the new one. One the category does not own is
    // deleted only when the caller says nobody else holds it. The pattern was accepted by
    // the old layout, so the new one's cannot fail.
    const bool owned = category.ownsAppender(rolling);
    category.removeAppender(rolling);  // deletes it when the category owns it
    if (!owned && deleteUnowned) {
      delete rolling;
    } else if (!owned) {
      rolling->close();
    }
    auto* fresh = new BufferedRollingFileAppender(name, fileName, maxFileSize, maxBackupIndex,
                                                  append, mode, pattern);
    fresh->setThreshold(threshold);
    category.addAppender(fresh);  // the category owns it
    ++replaced;
  }
  return replaced;
}

}  // namespace quillet
