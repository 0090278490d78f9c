// The process logger of the service program, on log4cplus: one file beside the executable.
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/tstring.h>

#include <string>

namespace orvex {

// Sets up the logger `name` writing to "<name>.log" beside the executable. Calling it again
// replaces its file appender instead of adding a second one.
void InitProcessLogger(const wchar_t* name);

// The logger set up by InitProcessLogger (the root logger before that).
log4cplus::Logger GetLogger();

// Wide text in log4cplus's character type.
inline log4cplus::tstring ToTString(const std::wstring& text) {
#ifdef UNICODE
  return text;
#else
  return log4cplus::helpers::tostring(text);
#endif
}

// Directory of the running executable, with a trailing separator; empty when unknown.
log4cplus::tstring ExecutableDirectory();

}  // namespace orvex

// Every message carries the writing function's name in parentheses after its text.
#define ORVEX_LOG(LEVEL, STREAM_EXPR)                                                         \
  LOG4CPLUS_##LEVEL(::orvex::GetLogger(), STREAM_EXPR << LOG4CPLUS_TEXT("(")                  \
                                                      << LOG4CPLUS_C_STR_TO_TSTRING(__func__) \
                                                      << LOG4CPLUS_TEXT(")"))
#define ORVEX_WARN(TEXT) ORVEX_LOG(WARN, LOG4CPLUS_TEXT(TEXT))
#define ORVEX_ERROR(TEXT) ORVEX_LOG(ERROR, LOG4CPLUS_TEXT(TEXT))
