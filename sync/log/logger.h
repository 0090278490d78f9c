// The library's log writers, on three log4cpp categories configured from the property
// file "log4cpp.nt.property" beside the host executable.
//
// Every line starts with "[" + process id + "]". Writers may be called from any thread and
// before InitLogger (the lines then go nowhere); they never fail their callers.
#ifndef QUILLET_SYNC_LOG_LOGGER_H_
#define QUILLET_SYNC_LOG_LOGGER_H_

#include <string>
#include <string_view>

#include "sync/platform/text.h"

namespace quillet {

extern const char kPropertyFileName[];  // "log4cpp.nt.property"
// Token in the property file that InitLogger replaces by the library's log directory.
extern const char kLogDirToken[];  // "${QUILLET_LOG_DIR}"

// Configures log4cpp for logs under logDir + "Quillet" (created, hidden, when missing).
// False for an empty or uncreatable directory, a missing or unreadable property file.
// Called at the first sync call of every round; not to be called concurrently.
bool InitLogger(const WString& logDir);

// InitLogger with the property file looked up in propertyDir instead of beside the host
// executable.
bool InitLoggerFrom(const WString& logDir, const WString& propertyDir);

namespace log_internal {

enum class Channel { kInfo, kError };

// Whether the channel's line would be written (log4cpp configured and its level on).
bool Enabled(Channel channel);
// Writes "[" + process id + "]" + the UTF-8 line when the channel is on; pieces are
// converted straight into the line, without a wide string of their own.
void Write(Channel channel, const std::u16string_view* pieces, size_t count);

}  // namespace log_internal

// "subInfo" at info level, UTF-8. The pieces of a line are joined: LogInfo(u"guid:", guid)
// costs no wide concatenation, and nothing at all is done while the category is off.
template <typename... Pieces>
void LogInfo(const Pieces&... pieces) {
  const std::u16string_view views[] = {std::u16string_view(pieces)...};
  log_internal::Write(log_internal::Channel::kInfo, views, sizeof...(pieces));
}
// "subError" at error level, UTF-8.
template <typename... Pieces>
void LogError(const Pieces&... pieces) {
  const std::u16string_view views[] = {std::u16string_view(pieces)...};
  log_internal::Write(log_internal::Channel::kError, views, sizeof...(pieces));
}
// "subSync" at info level whatever the level word, ANSI:
// "[" + level + "][" + function + "] " + message.
void LogSync(const WString& level, const WString& function, const WString& message);
void LogSyncBegin(const WString& function);  // [pid][Info][function] Begin
void LogSyncDone(const WString& function);   // [pid][Info][function] Done

// Writes the lines the library's log files hold in memory. Called before the library waits
// on the network, calls into the host or returns to it, so that only lines of work in
// progress can wait; safe from any thread, never fails.
void FlushLogs();

// The library log directory for a LogPath: logDir + "Quillet", with a separator between.
WString LibraryLogDirectory(const WString& logDir);

}  // namespace quillet

#endif  // QUILLET_SYNC_LOG_LOGGER_H_
