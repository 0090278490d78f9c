// Windows implementation of the platform layer.
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <windows.h>

#include "sync/platform/platform.h"
#include "sync/platform/win32/private_files_win32.h"

namespace quillet {
namespace platform {
namespace {

std::wstring ToWin(const WString& text) { return std::wstring(text.begin(), text.end()); }

WString FromWin(const wchar_t* text, size_t length) {
  return WString(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace

const char16_t kPathSeparator = u'\\';
const int kNoFollowOpenFlag = 0;

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

bool CloseToOthers(const std::string& /*ansiPath*/) { return true; }

namespace {

bool IsReparsePoint(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return true;  // unknown: not trusted
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

std::wstring WinPath(const std::string& ansiPath) { return ToWin(AnsiToWide(ansiPath)); }

}  // namespace

std::FILE* OpenOwnFile(const std::string& ansiPath, OwnFileAccess access) {
  const bool read = access == OwnFileAccess::kRead;
  // The reparse point itself is opened, never its target, and then refused.
  HANDLE handle = CreateFileW(WinPath(ansiPath).c_str(),
                              (read ? GENERIC_READ : GENERIC_WRITE) | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              read ? OPEN_EXISTING : OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Another user's file, or one with a second name, is not the library's to write or read.
  if (IsReparsePoint(handle) || TrustOfFileHandle(handle) != Trust::kOwn ||
      (access == OwnFileAccess::kReplace && !SetEndOfFile(handle))) {
    CloseHandle(handle);
    return nullptr;
  }
  int flags = _O_BINARY;
  const char* mode = "rb";
  if (access == OwnFileAccess::kAppend) {
    flags |= _O_APPEND;
    mode = "ab";
  } else if (access == OwnFileAccess::kReplace) {
    mode = "wb";
  } else {
    flags |= _O_RDONLY;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, mode);
  if (file == nullptr) _close(fd);
  return file;
}

bool CreateOwnFile(const std::string& ansiPath, bool* existed) {
  if (existed) *existed = false;
  HANDLE handle =
      CreateFileW(WinPath(ansiPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (existed) *existed = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return false;
  }
  CloseHandle(handle);
  return true;
}

bool IsLink(const std::string& ansiPath) {
  const DWORD attrs = GetFileAttributesW(WinPath(ansiPath).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool SyncFile(std::FILE* file) {
  return file != nullptr && std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

// NTFS keeps its directory entries in its own journal; there is no call to flush them.
bool SyncDirectory(const std::string& /*ansiPath*/) { return true; }

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
