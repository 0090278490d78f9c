// Windows implementation of the platform layer.
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "sync/platform/platform.h"
#include "sync/platform/win32/private_files_win32.h"
#include "sync/platform/win32/wide_path.h"

namespace quillet {
namespace platform {
namespace {

// The narrow form of a wide path in the ANSI code page, only when it names exactly that
// path (no character replaced by a look-alike or "?") and the narrow calls accept its length.
bool ExactAnsi(const std::wstring& wide, std::string* out) {
  if (wide.empty() || wide.size() >= MAX_PATH) return false;
  const int size = static_cast<int>(wide.size());
  if (GetACP() == CP_UTF8) {
    *out = WideToUtf8(FromWin(wide.data(), wide.size()));
    return out->size() < MAX_PATH;
  }
  BOOL replaced = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0,
                                    nullptr, &replaced);
  if (n <= 0 || n >= MAX_PATH || replaced) return false;
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, &narrow[0], n, nullptr,
                      &replaced);
  // A double-byte code page may still map two texts to one: the way back must be the same.
  if (replaced || AnsiToWide(narrow) != FromWin(wide.data(), wide.size())) return false;
  out->swap(narrow);
  return true;
}

// "\\?\C:\x" and "\\?\UNC\s\x" as the narrow calls spell them ("C:\x", "\\s\x").
std::wstring WithoutVerbatimPrefix(const std::wstring& path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
  return path;
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
  // A program may live deeper than MAX_PATH: the buffer grows until the name fits.
  std::vector<wchar_t> buf(MAX_PATH + 1);
  while (buf.size() <= 32768 + 1) {
    const DWORD capacity = static_cast<DWORD>(buf.size());
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), capacity);
    if (n == 0) return WString();
    if (n < capacity - 1) return FromWin(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
  return WString();
}

std::string CRuntimePath(const std::string& path) {
  const std::wstring wide = WideSystemPath(path);
  std::string narrow;
  if (ExactAnsi(WithoutVerbatimPrefix(wide), &narrow)) return narrow;
  // The short name is ASCII where the volume makes one.
  std::vector<wchar_t> buf(wide.size() + 1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = GetShortPathNameW(wide.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::string();
    if (n < buf.size()) {
      if (ExactAnsi(WithoutVerbatimPrefix(std::wstring(buf.data(), n)), &narrow)) return narrow;
      return std::string();
    }
    buf.resize(n + 1);
  }
  return std::string();
}

bool ReadWholeFile(const std::string& path, size_t limit, std::string* contents) {
  HANDLE handle =
      CreateFileW(WideSystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(handle, &size) != 0 && size.QuadPart >= 0 &&
            static_cast<unsigned long long>(size.QuadPart) <= limit;
  std::string read;
  if (ok) read.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (ok && done < read.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(read.size() - done, 1u << 20));
    ok = ReadFile(handle, &read[done], chunk, &n, nullptr) != 0 && n > 0;
    done += n;
  }
  CloseHandle(handle);
  if (ok) contents->swap(read);
  return ok;
}

int OpenDescriptor(const std::string& path, int flags, int mode) {
  return _wopen(WideSystemPath(path).c_str(), flags, mode);
}

bool RenameFile(const std::string& from, const std::string& to) {
  return _wrename(WideSystemPath(from).c_str(), WideSystemPath(to).c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return _wremove(WideSystemPath(path).c_str()) == 0; }

bool DirectoryExists(const std::string& path) {
  const DWORD attrs = GetFileAttributesW(WideSystemPath(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(WideSystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDirectory(const std::string& path, bool* accessDenied) {
  if (accessDenied) *accessDenied = false;
  if (CreateDirectoryW(WideSystemPath(path).c_str(), nullptr)) return true;
  if (accessDenied) *accessDenied = GetLastError() == ERROR_ACCESS_DENIED;
  return false;
}

bool CloseToOthers(const std::string& /*path*/) { return true; }

namespace {

bool IsReparsePoint(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return true;  // unknown: not trusted
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

}  // namespace

std::FILE* OpenOwnFile(const std::string& path, OwnFileAccess access) {
  const bool read = access == OwnFileAccess::kRead;
  // The reparse point itself is opened, never its target, and then refused.
  HANDLE handle = CreateFileW(WideSystemPath(path).c_str(),
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

bool CreateOwnFile(const std::string& path, bool* existed) {
  if (existed) *existed = false;
  HANDLE handle =
      CreateFileW(WideSystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (existed) *existed = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return false;
  }
  CloseHandle(handle);
  return true;
}

bool IsLink(const std::string& path) {
  const DWORD attrs = GetFileAttributesW(WideSystemPath(path).c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool SyncFile(std::FILE* file) {
  return file != nullptr && std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

// NTFS keeps its directory entries in its own journal; there is no call to flush them.
bool SyncDirectory(const std::string& /*path*/) { return true; }

bool SetHidden(const std::string& path) {
  const std::wstring wide = WideSystemPath(path);
  const DWORD attrs = GetFileAttributesW(wide.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  return SetFileAttributesW(wide.c_str(), attrs | FILE_ATTRIBUTE_HIDDEN) != 0;
}

// Either separator: a host's "C:/x" is as absolute as "C:\x".
bool IsAbsolutePath(const std::string& path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 3 && path[1] == ':' && separator(path[2])) return true;
  return path.size() >= 2 && separator(path[0]) && separator(path[1]);
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

}  // namespace platform
}  // namespace quillet
