// Stand-ins for the registry helpers of the maker's libraries (Util's DE::Registry,
// QZAccountServicePlugin's BaseUtil), on the Win32 registry. Key paths may begin with a
// backslash, which the registry itself does not accept; it is dropped.
#pragma once

#include <windows.h>

#include <string>

namespace DE {
class Registry {
 public:
  // Reads a REG_SZ value; false (and an empty value) when it is missing or not text.
  static bool GetValue(HKEY root, const std::wstring& key, const std::wstring& name,
                       std::wstring& value, REGSAM access);
  static bool SetValue(HKEY root, const std::wstring& key, const std::wstring& name,
                       const std::wstring& value, REGSAM access);
};
}  // namespace DE

namespace BaseUtil {
// True when `name` exists as a value under the key.
bool IsExistRegKey(HKEY root, const std::wstring& key, const std::string& name);
// Creates the key and an empty `name` value unless it exists already.
bool CreateRegKey(HKEY root, const std::wstring& key, const std::wstring& name);
}  // namespace BaseUtil
