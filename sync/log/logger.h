// The library's log writers, on three log4cpp categories configured from the property
// file "log4cpp.nt.property" beside the host executable.
//
// Every line starts with "[" + process id + "]". Writers may be called from any thread and
// before InitLogger (the lines then go nowhere); they never fail their callers.
#ifndef QUILLET_SYNC_LOG_LOGGER_H_
#define QUILLET_SYNC_LOG_LOGGER_H_

#include <string>

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

// "subInfo" at info level, UTF-8.
void LogInfo(const WString& message);
// "subError" at error level, UTF-8.
void LogError(const WString& message);
// "subSync" at info level whatever the level word, ANSI:
// "[" + level + "][" + function + "] " + message.
void LogSync(const WString& level, const WString& function, const WString& message);
void LogSyncBegin(const WString& function);  // [pid][Info][function] Begin
void LogSyncDone(const WString& function);   // [pid][Info][function] Done

// The library log directory for a LogPath: logDir + "Quillet", with a separator between.
WString LibraryLogDirectory(const WString& logDir);

}  // namespace quillet

#endif  // QUILLET_SYNC_LOG_LOGGER_H_
