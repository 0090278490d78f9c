#define _DEFAULT_SOURCE /* realpath */
#include "host_paths.h"

#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
/* After windows.h, which it needs. */
#include <shellapi.h>

/* UTF-8 to UTF-16 with "/" as "\"; NULL on failure. The caller frees it. */
static wchar_t* to_wide(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, NULL, 0);
  if (n <= 0) return NULL;
  wchar_t* wide = malloc(sizeof(wchar_t) * (size_t)n);
  if (!wide) return NULL;
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, n);
  for (wchar_t* c = wide; *c; ++c) {
    if (*c == L'/') *c = L'\\';
  }
  return wide;
}

static char* to_utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
  if (n <= 0) return NULL;
  char* utf8 = malloc((size_t)n);
  if (utf8) WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, n, NULL, NULL);
  return utf8;
}

/* Past CreateDirectoryW's limit (MAX_PATH less an 8.3 name) an absolute path takes the
 * "\\?\" form, which Windows hands on without its own clean-up. */
static wchar_t* to_wide_long(const char* utf8) {
  wchar_t* wide = to_wide(utf8);
  if (!wide || wcslen(wide) < 248 || wcsncmp(wide, L"\\\\?\\", 4) == 0) return wide;
  const int unc = wide[0] == L'\\' && wide[1] == L'\\';
  const int drive = wide[0] && wide[1] == L':' && wide[2] == L'\\';
  if (!unc && !drive) return wide;
  const size_t size = wcslen(wide) + 9;
  wchar_t* full = malloc(sizeof(wchar_t) * size);
  if (full) {
    if (unc) {
      swprintf(full, size, L"\\\\?\\UNC\\%ls", wide + 2);
    } else {
      swprintf(full, size, L"\\\\?\\%ls", wide);
    }
  }
  free(wide);
  return full;
}

int host_utf8_args(int* argc, char*** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return -1;
  char** utf8 = calloc((size_t)count + 1, sizeof(char*));
  if (!utf8) return -1;
  for (int i = 0; i < count; ++i) {
    utf8[i] = to_utf8(wide[i]);
    if (!utf8[i]) return -1;
  }
  LocalFree(wide);
  *argc = count;
  *argv = utf8;
  return 0;
}

FILE* host_fopen(const char* path, const char* mode) {
  wchar_t* wide = to_wide_long(path);
  wchar_t* wideMode = to_wide(mode);
  FILE* f = wide && wideMode ? _wfopen(wide, wideMode) : NULL;
  free(wide);
  free(wideMode);
  return f;
}

int host_mkdir(const char* path) {
  wchar_t* wide = to_wide_long(path);
  const int status = wide && CreateDirectoryW(wide, NULL) ? 0 : -1;
  free(wide);
  return status;
}

int host_absolute(const char* path, char* out, size_t size) {
  /* An absolute path goes to the library as the user wrote it ("C:/Users/..." too). */
  const int drive = path[0] && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  const int unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  if (drive || unc) {
    if (strlen(path) >= size) return -1;
    strcpy(out, path);
    return 0;
  }
  wchar_t* wide = to_wide(path);
  wchar_t full[32768];
  const DWORD n = wide ? GetFullPathNameW(wide, 32768, full, NULL) : 0;
  free(wide);
  if (n == 0 || n >= 32768) return -1;
  char* utf8 = to_utf8(full);
  if (!utf8 || strlen(utf8) >= size) {
    free(utf8);
    return -1;
  }
  strcpy(out, utf8);
  free(utf8);
  return 0;
}

void* host_load_library(const char* path) {
  wchar_t* wide = to_wide_long(path);
  void* handle = wide ? (void*)LoadLibraryW(wide) : NULL;
  free(wide);
  return handle;
}

const char* host_sqlite_name(const char* path, char* out, size_t size) {
  wchar_t* wide = to_wide_long(path);
  char* utf8 = wide ? to_utf8(wide) : NULL;
  free(wide);
  if (!utf8 || strlen(utf8) >= size) {
    free(utf8);
    return path;
  }
  strcpy(out, utf8);
  free(utf8);
  return out;
}

const char* host_sqlite_vfs(void) { return "win32-longpath"; }

#else
#include <dlfcn.h>
#include <sys/stat.h>

int host_utf8_args(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  return 0;
}

FILE* host_fopen(const char* path, const char* mode) { return fopen(path, mode); }

/* The profile holds the user's bookmarks: other users of the machine get no access. */
int host_mkdir(const char* path) { return mkdir(path, 0700); }

int host_absolute(const char* path, char* out, size_t size) {
  char resolved[4096];
  if (!realpath(path, resolved) || strlen(resolved) >= size) return -1;
  strcpy(out, resolved);
  return 0;
}

void* host_load_library(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

const char* host_sqlite_name(const char* path, char* out, size_t size) {
  (void)out;
  (void)size;
  return path;
}

const char* host_sqlite_vfs(void) { return NULL; }
#endif
