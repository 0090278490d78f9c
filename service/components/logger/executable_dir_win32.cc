#include <windows.h>

#include <string>

#include "service/components/logger/process_logger.h"

namespace orvex {

log4cplus::tstring ExecutableDirectory() {
  // Long paths are allowed here; only the service's own install path keeps MAX_PATH.
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return log4cplus::tstring();
  path.resize(n);
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return log4cplus::tstring();
  return ToTString(path.substr(0, slash + 1));
}

}  // namespace orvex
