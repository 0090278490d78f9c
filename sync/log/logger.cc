#include "sync/log/logger.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <mutex>
#include <sstream>
#include <vector>

#include "sync/log/buffered_file_appender.h"
#include "sync/log/log_directory.h"
#include "sync/platform/path_form.h"
#include "sync/platform/platform.h"

namespace quillet {

const char kPropertyFileName[] = "log4cpp.nt.property";
const char kLogDirToken[] = "${QUILLET_LOG_DIR}";

namespace {

// log4cpp reads its configuration from a file name only, so the property file with the
// log directory filled in is written into that directory and configured from there.
const char kActivePropertyFileName[] = "log4cpp.active.property";

// log4cpp's configurator leaks the previous appenders each time it runs again, and the
// library configures at every round. The same configuration is therefore applied once and
// afterwards only has its files reopened (so a deleted or rotated log file is recreated).
//
// log4cpp's file appenders have no lock of their own: a reopen closes the descriptor a
// writer on another thread (a keep-alive tick) may be using, and two writers may roll a
// file over at once. Every write and every reconfiguration therefore takes this lock.
std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

const char* const kCategories[] = {"subInfo", "subError", "subSync"};

// log4cpp keeps a category for the life of the process, so each is looked up once (the
// lookup takes log4cpp's hierarchy lock and a map search).
log4cpp::Category& CategoryOf(int index) {
  static log4cpp::Category* const categories[] = {&log4cpp::Category::getInstance(kCategories[0]),
                                                  &log4cpp::Category::getInstance(kCategories[1]),
                                                  &log4cpp::Category::getInstance(kCategories[2])};
  return *categories[index];
}

constexpr int kInfoIndex = 0;
constexpr int kErrorIndex = 1;
constexpr int kSyncIndex = 2;

// Reopens the files of this library's categories only: the host's own appenders are not
// ours to touch, and its threads write to them without our lock.
bool ReopenOwnAppenders() {
  bool ok = true;
  for (const char* name : kCategories) {
    log4cpp::Category* category = log4cpp::Category::exists(name);
    if (category == nullptr) continue;
    for (log4cpp::Appender* appender : category->getAllAppenders()) ok = appender->reopen() && ok;
  }
  return ok;
}

// The configured rolling files of this library's categories become buffered ones: a line
// then costs a copy into memory instead of a formatted write(2) and an lseek(2) of its own.
//
// A category whose only destination is then such an appender (one appender, additivity
// off) has its lines handed to it straight: log4cpp's dispatch would make a LoggingEvent
// per line, with a thread id printed by sprintf, only for this appender to read two fields.
bool& DirectRoute(int index) {
  static bool direct[3] = {false, false, false};
  return direct[index];
}

// Judged at every round, so that appenders the host added since reach their lines from its
// next round on.
void UpdateDirectRoutes() {
  for (int index = 0; index < 3; ++index) {
    const log4cpp::Category& category = CategoryOf(index);
    const log4cpp::AppenderSet appenders = category.getAllAppenders();
    DirectRoute(index) = appenders.size() == 1 && !category.getAdditivity() &&
                         dynamic_cast<BufferedRollingFileAppender*>(*appenders.begin()) != nullptr;
  }
}

// Called right after the property configurator has run: the appenders it attached are
// held by nothing else, and are deleted as they are replaced.
void BufferOwnAppenders() {
  for (int index = 0; index < 3; ++index) {
    BufferedRollingFileAppender::ReplaceIn(CategoryOf(index), /*deleteUnowned=*/true);
  }
  UpdateDirectRoutes();
}

void FlushOwnAppenders() {
  for (const char* name : kCategories) {
    log4cpp::Category* category = log4cpp::Category::exists(name);
    if (category == nullptr) continue;
    for (log4cpp::Appender* appender : category->getAllAppenders()) {
      if (auto* buffered = dynamic_cast<BufferedRollingFileAppender*>(appender)) buffered->Flush();
    }
  }
}

std::string& AppliedConfiguration() {
  static std::string applied;
  return applied;
}

// log4cpp outlives this library: a host may unload it (dlclose, FreeLibrary) while log4cpp
// destroys its categories' appenders only at the process's exit, by then through code that
// is gone. So the appenders whose code is ours are flushed and taken back as this library
// goes. Caller holds LogMutex().
void ReleaseOwnAppenders() {
  for (int index = 0; index < 3; ++index) {
    DirectRoute(index) = false;
    log4cpp::Category& category = CategoryOf(index);
    for (log4cpp::Appender* appender : category.getAllAppenders()) {
      auto* buffered = dynamic_cast<BufferedRollingFileAppender*>(appender);
      if (buffered == nullptr) continue;
      buffered->Flush();
      category.removeAppender(buffered);  // deletes it: the category owns it
    }
  }
  AppliedConfiguration().clear();
}

// Made after log4cpp's hierarchy exists, so that at the process's exit it is destroyed
// first, and at an unload it is destroyed with this library's other statics.
struct OwnAppendersRelease {
  ~OwnAppendersRelease() {
    try {
      std::lock_guard<std::mutex> lock(LogMutex());
      ReleaseOwnAppenders();
    } catch (...) {
    }
  }
};

// The process id of the line prefix, read once per round (InitLogger) rather than with a
// system call per line; a process forked from the host gets its own at its first round.
std::atomic<unsigned long>& CachedProcessId() {
  static std::atomic<unsigned long> pid{platform::ProcessId()};
  return pid;
}

std::string Prefix() { return "[" + std::to_string(CachedProcessId().load()) + "]"; }

// One event, one line: a value from the server or the host (a guid, an etag, a luid) that
// holds a line break or another control character must not write lines of its own, nor
// steer a terminal that shows the file. Such bytes are written as "\n", "\r", "\t" or
// "\xNN"; a line without them keeps its exact bytes. UTF-8 and the ANSI code pages never
// use bytes below 0x20 or 0x7F inside a multi-byte character.
//
// The C1 controls U+0080-U+009F are a terminal's CSI, OSC and NEL as well, and U+2028 and
// U+2029 break lines in editors: they are written as "\u0085", "\u2028". In UTF-8 they are
// C2 80-9F and E2 80 A8/A9; in a Windows code page the same bytes are letters, so a text
// bound for one is escaped while still wide (EscapeWideControls).
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }
bool IsWideControl(char16_t c) { return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

// How many bytes of the control character at line[at]; 0 when there is none.
size_t ControlLength(const std::string& line, size_t at, bool utf8) {
  const unsigned char c = static_cast<unsigned char>(line[at]);
  if (IsControl(c)) return 1;
  if (!utf8 || c < 0xC2) return 0;
  const unsigned char next = at + 1 < line.size() ? static_cast<unsigned char>(line[at + 1]) : 0;
  if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return 2;
  if (c == 0xE2 && next == 0x80 && at + 2 < line.size()) {
    const unsigned char last = static_cast<unsigned char>(line[at + 2]);
    if (last == 0xA8 || last == 0xA9) return 3;
  }
  return 0;
}

const char kHex[] = "0123456789abcdef";

void AppendUnicodeEscape(char16_t c, std::string* out) {
  *out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHex[(c >> shift) & 0xF]);
}

// Bytes that may start a control character: the scan of a line without any stays one
// table look-up per byte.
struct ControlStarts {
  bool byte[256] = {};
  constexpr ControlStarts() {
    for (int c = 0; c < 0x20; ++c) byte[c] = true;
    byte[0x7F] = byte[0xC2] = byte[0xE2] = true;
  }
};
constexpr ControlStarts kControlStarts;

void EscapeControls(std::string* line, size_t from, bool utf8 = true) {
  size_t at = from;
  const size_t size = line->size();
  const char* const bytes = line->data();
  while (at < size && (!kControlStarts.byte[static_cast<unsigned char>(bytes[at])] ||
                       ControlLength(*line, at, utf8) == 0)) {
    ++at;
  }
  if (at == line->size()) return;
  std::string escaped(*line, 0, at);
  escaped.reserve(line->size() + 16);
  while (at < line->size()) {
    const size_t length = ControlLength(*line, at, utf8);
    const unsigned char c = static_cast<unsigned char>((*line)[at]);
    if (length == 0) {
      escaped.push_back(static_cast<char>(c));
    } else if (length == 2) {
      AppendUnicodeEscape(static_cast<char16_t>((*line)[at + 1] & 0xFF), &escaped);
    } else if (length == 3) {
      AppendUnicodeEscape(static_cast<unsigned char>((*line)[at + 2]) == 0xA8 ? 0x2028 : 0x2029,
                          &escaped);
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped += "\\x";
      escaped.push_back(kHex[c >> 4]);
      escaped.push_back(kHex[c & 0xF]);
    }
    at += length == 0 ? 1 : length;
  }
  line->swap(escaped);
}

// For a text bound for the ANSI code page: its C1 controls and line separators as "\uXXXX".
void EscapeWideControls(WString* text) {
  size_t at = 0;
  while (at < text->size() && !IsWideControl((*text)[at])) ++at;
  if (at == text->size()) return;
  WString escaped(*text, 0, at);
  for (; at < text->size(); ++at) {
    const char16_t c = (*text)[at];
    if (!IsWideControl(c)) {
      escaped.push_back(c);
      continue;
    }
    std::string ascii;
    AppendUnicodeEscape(c, &ascii);
    escaped.append(ascii.begin(), ascii.end());
  }
  text->swap(escaped);
}

// A subSync line: prefix, then the ANSI text with its control characters escaped.
std::string SyncLine(const WString& text) {
  std::string line = Prefix();
  const size_t from = line.size();
  if (std::find_if(text.begin(), text.end(), IsWideControl) == text.end()) {
    line += platform::WideToAnsi(text);
  } else {
    WString escaped = text;
    EscapeWideControls(&escaped);
    line += platform::WideToAnsi(escaped);
  }
  // C1 bytes are letters of a Windows code page; the wide pass has taken those out.
  EscapeControls(&line, from, /*utf8=*/false);
  return line;
}

void Write(int category, log4cpp::Priority::Value priority, const std::string& line) {
  try {
    std::lock_guard<std::mutex> lock(LogMutex());
    log4cpp::Category& target = CategoryOf(category);
    if (DirectRoute(category) && !target.getAdditivity() && target.isPriorityEnabled(priority)) {
      // Looked up per line: the host may have configured log4cpp anew since.
      auto* buffered = dynamic_cast<BufferedRollingFileAppender*>(target.getAppender());
      if (buffered != nullptr && buffered->AppendDirect(priority, line)) return;
    }
    target.log(priority, line);
  } catch (...) {
    // A failing appender must not fail the sync step that logs.
  }
}

// Whether a line of the category at priority would go anywhere; read under the lock, since
// a reconfiguration changes the levels.
bool IsOn(int category, log4cpp::Priority::Value priority) {
  std::lock_guard<std::mutex> lock(LogMutex());
  return CategoryOf(category).isPriorityEnabled(priority);
}

// More than any property file needs; a larger one is not read into memory.
constexpr size_t kPropertyFileLimit = 1 << 20;

// Logging is not available to say why it cannot start, so the reason goes to the
// process's standard error: one line, the folder or file and what is wrong with it.
void ReportRefusal(const std::string& path, platform::Trust trust) {
  std::string line = "Quillet: logging refused: " + path;
  EscapeControls(&line, 0);
  line += " " + WideToUtf8(platform::TrustText(trust)) + "\n";
  std::fputs(line.c_str(), stderr);
}

// A log directory whose name the property file syntax would read as something else: a
// line break ends the line (and starts a line of the attacker's), "#" starts a comment
// and "${" a variable, so the logs would go to another file than the directory names.
bool UsableInProperties(const std::string& dir) {
  for (const char c : dir) {
    if (IsControl(static_cast<unsigned char>(c)) || c == '#') return false;
  }
  return dir.find("${") == std::string::npos;
}

std::string Trimmed(const std::string& text) {
  const char* const kBlanks = " \t\r";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The files the configuration writes inside the library's log directory, read as log4cpp
// reads its lines: "log4cpp.appender.NAME.fileName=VALUE", blanks trimmed, "#" a comment.
std::vector<std::string> OwnLogFiles(const std::string& properties, const std::string& dir,
                                     const std::string& sep) {
  static const std::string kKeyStart = "log4cpp.appender.";
  static const std::string kKeyEnd = ".fileName";
  std::vector<std::string> files;
  std::istringstream lines(properties);
  std::string line;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Trimmed(line.substr(0, equals));
    if (key.size() <= kKeyStart.size() + kKeyEnd.size() ||
        key.compare(0, kKeyStart.size(), kKeyStart) != 0 ||
        key.compare(key.size() - kKeyEnd.size(), kKeyEnd.size(), kKeyEnd) != 0) {
      continue;
    }
    const std::string file = Trimmed(line.substr(equals + 1));
    if (file.size() > dir.size() + sep.size() &&
        file.compare(0, dir.size() + sep.size(), dir + sep) == 0) {
      files.push_back(file);
    }
  }
  return files;
}

// log4cpp opens its files by name, following links and with mode 0644. The library's own
// files are opened here first: a link planted in their place refuses logging for the round
// (the same as a file that cannot be opened) instead of having log4cpp write to its target,
// and a file made here is the user's alone, which log4cpp's later open keeps.
bool PrepareOwnLogFiles(const std::string& properties, const std::string& dir,
                        const std::string& sep) {
  for (const std::string& file : OwnLogFiles(properties, dir, sep)) {
    std::FILE* opened = platform::OpenOwnFile(file, platform::OwnFileAccess::kAppend);
    if (opened == nullptr) {
      ReportRefusal(file, platform::CheckOwnFile(file));
      return false;
    }
    std::fclose(opened);
  }
  return true;
}

void ReplaceAll(std::string* text, const std::string& token, const std::string& value) {
  for (size_t at = text->find(token); at != std::string::npos;
       at = text->find(token, at + value.size())) {
    text->replace(at, token.size(), value);
  }
}

}  // namespace

WString LibraryLogDirectory(const WString& logDir) {
  if (!logDir.empty() && logDir.back() == platform::kPathSeparator) return logDir + u"Quillet";
  return logDir + platform::kPathSeparator + u"Quillet";
}

bool InitLogger(const WString& logDir) {
  const WString exe = platform::ExecutablePath();
  const size_t cut = exe.find_last_of(platform::kPathSeparator);
  if (logDir.empty() || cut == WString::npos) return false;
  return InitLoggerFrom(logDir, exe.substr(0, cut));
}

bool InitLoggerFrom(const WString& logDir, const WString& propertyDir) {
  CachedProcessId() = platform::ProcessId();
  if (logDir.empty()) return false;
  const std::string dir = WideToUtf8(LibraryLogDirectory(platform::NormalisePath(logDir)));
  if (!UsableInProperties(dir)) return false;
  if (!platform::DirectoryExists(dir)) {
    if (!CreateLogDirectory(dir)) return false;
    platform::SetHidden(dir);
  }
  // log4cpp opens and rolls its files by name: in a folder another user can write to (one
  // they made first, or a link to theirs) they could swap those files at any time. One of
  // the user's own that an earlier release left open is closed instead.
  const platform::Trust folder = platform::CheckPrivateFolder(dir);
  if (folder != platform::Trust::kOwn) {
    ReportRefusal(dir, folder);
    return false;
  }

  const std::string sep(1, static_cast<char>(platform::kPathSeparator));
  const std::string propertyFile = WideToUtf8(propertyDir) + sep + kPropertyFileName;
  if (!platform::PathExists(propertyFile)) return false;

  std::string properties;
  if (!platform::ReadWholeFile(propertyFile, kPropertyFileLimit, &properties)) return false;
  ReplaceAll(&properties, kLogDirToken, dir);
  std::lock_guard<std::mutex> lock(LogMutex());
  if (!PrepareOwnLogFiles(properties, dir, sep)) return false;
  if (properties == AppliedConfiguration()) {
    UpdateDirectRoutes();
    return ReopenOwnAppenders();
  }
  // The active file shows the user what applies; log4cpp reads a copy nobody else can
  // change, never that file again by name. The file names in it are UTF-8: the library's
  // own appenders open them (through the wide calls on Windows).
  const std::string activeFile = dir + sep + kActivePropertyFileName;
  const bool configured = platform::ReadBackPinned(activeFile, properties, [](const std::string& name) {
    log4cpp::PropertyConfigurator::configure(name);  // throws ConfigureFailure
    BufferOwnAppenders();
    static OwnAppendersRelease release;
    return true;
  });
  if (!configured) {
    const platform::Trust active = platform::CheckOwnFile(activeFile);
    if (active != platform::Trust::kOwn) ReportRefusal(activeFile, active);
    AppliedConfiguration().clear();
    return false;
  }
  AppliedConfiguration() = properties;
  return true;
}

void FlushLogs() {
  try {
    std::lock_guard<std::mutex> lock(LogMutex());
    FlushOwnAppenders();
  } catch (...) {
    // Logging never fails its caller.
  }
}

namespace log_internal {

namespace {
int IndexOf(Channel channel) { return channel == Channel::kInfo ? kInfoIndex : kErrorIndex; }
log4cpp::Priority::Value PriorityOf(Channel channel) {
  return channel == Channel::kInfo ? log4cpp::Priority::INFO : log4cpp::Priority::ERROR;
}
}  // namespace

bool Enabled(Channel channel) { return IsOn(IndexOf(channel), PriorityOf(channel)); }

void Write(Channel channel, const std::u16string_view* pieces, size_t count) {
  if (!Enabled(channel)) return;
  std::string line = Prefix();
  size_t size = line.size();
  for (size_t i = 0; i < count; ++i) size += pieces[i].size();
  line.reserve(size + size / 4);
  const size_t from = line.size();
  for (size_t i = 0; i < count; ++i) AppendWideAsUtf8(pieces[i].data(), pieces[i].size(), &line);
  EscapeControls(&line, from);
  quillet::Write(IndexOf(channel), PriorityOf(channel), line);
}

}  // namespace log_internal

void LogSync(const WString& level, const WString& function, const WString& message) {
  if (!IsOn(kSyncIndex, log4cpp::Priority::INFO)) return;
  const WString text = u"[" + level + u"][" + function + u"] " + message;
  Write(kSyncIndex, log4cpp::Priority::INFO, SyncLine(text));
}

void LogSyncBegin(const WString& function) {
  if (!IsOn(kSyncIndex, log4cpp::Priority::INFO)) return;
  const WString text = u"[Info][" + function + u"] " + u"Begin";
  Write(kSyncIndex, log4cpp::Priority::INFO, SyncLine(text));
}

void LogSyncDone(const WString& function) {
  if (!IsOn(kSyncIndex, log4cpp::Priority::INFO)) return;
  const WString text = u"[Info][" + function + u"]" + u" Done";
  Write(kSyncIndex, log4cpp::Priority::INFO, SyncLine(text));
}

}  // namespace quillet
