#include "service/components/registry/registry.h"

#include <vector>

namespace {

std::wstring SubKey(const std::wstring& key) {
  const size_t start = key.find_first_not_of(L'\\');
  return start == std::wstring::npos ? std::wstring() : key.substr(start);
}

constexpr DWORD kMaxValueBytes = 64 * 1024;  // a path; anything larger is not ours

}  // namespace

namespace DE {

bool Registry::GetValue(HKEY root, const std::wstring& key, const std::wstring& name,
                        std::wstring& value, REGSAM access) {
  value.clear();
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, SubKey(key).c_str(), 0, access, &handle) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD bytes = 0;
  LSTATUS status = RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &bytes);
  bool ok = false;
  if (status == ERROR_SUCCESS && type == REG_SZ && bytes <= kMaxValueBytes) {
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    status = RegQueryValueExW(handle, name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (status == ERROR_SUCCESS && type == REG_SZ) {
      // The stored text need not be terminated; stop at the first terminator if any.
      size_t length = bytes / sizeof(wchar_t);
      size_t end = 0;
      while (end < length && buffer[end] != L'\0') ++end;
      value.assign(buffer.data(), end);
      ok = true;
    }
  }
  RegCloseKey(handle);
  return ok;
}

bool Registry::SetValue(HKEY root, const std::wstring& key, const std::wstring& name,
                        const std::wstring& value, REGSAM access) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(root, SubKey(key).c_str(), 0, nullptr, 0, access, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  const LSTATUS status = RegSetValueExW(handle, name.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(value.c_str()), bytes);
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

}  // namespace DE

namespace BaseUtil {

bool IsExistRegKey(HKEY root, const std::wstring& key, const std::string& name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, SubKey(key).c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
    return false;
  }
  const bool exists =
      RegQueryValueExA(handle, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(handle);
  return exists;
}

bool CreateRegKey(HKEY root, const std::wstring& key, const std::wstring& name) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(root, SubKey(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LSTATUS status = RegQueryValueExW(handle, name.c_str(), nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_FILE_NOT_FOUND) {
    const wchar_t empty[] = L"";
    status = RegSetValueExW(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(empty),
                            sizeof(empty));
  }
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

}  // namespace BaseUtil
