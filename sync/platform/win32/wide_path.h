// Windows: the wide names every file call of the library takes. A path inside the library
// is UTF-8; at the system boundary it becomes UTF-16 (wchar_t is 16 bits here), with "/" as
// a separator and the "\\?\" prefix once it is long enough for MAX_PATH to refuse it.
#ifndef QUILLET_SYNC_PLATFORM_WIN32_WIDE_PATH_H_
#define QUILLET_SYNC_PLATFORM_WIN32_WIDE_PATH_H_

#include <string>

#include "sync/platform/path_form.h"
#include "sync/platform/text.h"

namespace quillet {
namespace platform {

inline std::wstring ToWin(const WString& text) { return std::wstring(text.begin(), text.end()); }

inline WString FromWin(const wchar_t* text, size_t length) {
  return WString(reinterpret_cast<const char16_t*>(text), length);
}

inline std::wstring WideSystemPath(const std::string& utf8Path) {
  return ToWin(
      LongPathForm(NormalisePath(Utf8ToWide(utf8Path), PathStyle::kWindows), PathStyle::kWindows));
}

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_WIN32_WIDE_PATH_H_
