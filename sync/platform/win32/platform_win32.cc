// Windows implementation of the platform layer.
#include <io.h>
#include <windows.h>

#include "sync/platform/platform.h"

namespace quillet {
namespace platform {
namespace {

std::wstring ToWin(const WString& text) { return std::wstring(text.begin(), text.end()); }

WString FromWin(const wchar_t* text, size_t length) {
  return WString(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace

const char16_t kPathSeparator = u'\\';

bool TruncateFile(std::FILE* file, long long size) {
  return file != nullptr && _chsize_s(_fileno(file), size) == 0;
}

std::string WideToAnsi(const WString& wide) {
  if (wide.empty()) return std::string();
  const std::wstring w = ToWin(wide);
  const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

WString AnsiToWide(const std::string& ansi) {
  if (ansi.empty()) return WString();
  const int n =
      MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  if (n <= 0) return WString();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &out[0], n);
  return FromWin(out.data(), out.size());
}

WString ExecutablePath() {
  wchar_t buf[MAX_PATH + 1] = {0};
  const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return WString();
  return FromWin(buf, n);
}

bool DirectoryExists(const std::string& ansiPath) {
  const DWORD attrs = GetFileAttributesA(ansiPath.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const std::string& ansiPath) {
  return GetFileAttributesA(ansiPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDirectory(const std::string& ansiPath, bool* accessDenied) {
  if (accessDenied) *accessDenied = false;
  if (CreateDirectoryA(ansiPath.c_str(), nullptr)) return true;
  if (accessDenied) *accessDenied = GetLastError() == ERROR_ACCESS_DENIED;
  return false;
}

bool SetHidden(const std::string& ansiPath) {
  const DWORD attrs = GetFileAttributesA(ansiPath.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  return SetFileAttributesA(ansiPath.c_str(), attrs | FILE_ATTRIBUTE_HIDDEN) != 0;
}

bool IsAbsolutePath(const std::string& ansiPath) {
  if (ansiPath.size() >= 3 && ansiPath[1] == ':' && ansiPath[2] == '\\') return true;
  return ansiPath.size() >= 2 && ansiPath[0] == '\\' && ansiPath[1] == '\\';
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

}  // namespace platform
}  // namespace quillet
