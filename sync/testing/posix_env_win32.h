// setenv/unsetenv for the tests built for Windows, which has only _putenv_s: the tests set
// and restore environment variables the POSIX way on both platforms.
#pragma once
#if defined(_WIN32)
#include <stdlib.h>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif
