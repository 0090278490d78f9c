/* version_info FILE: prints a Windows binary's version resource as Windows reads it
 * (version.dll), one "Name=value" line each, for the scripts that check the version:
 *   FixedFileVersion=1.0.0.0  FixedProductVersion=1.0.0.0  FileType=2
 *   FileVersion=...  ProductVersion=...  ProductName=...  OriginalFilename=...
 * Exit status 1 when the file has no version resource. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static void print_utf8(const char* name, const wchar_t* value) {
  char text[1024];
  if (!WideCharToMultiByte(CP_UTF8, 0, value, -1, text, sizeof text, NULL, NULL)) text[0] = 0;
  printf("%s=%s\n", name, text);
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: version_info FILE\n");
    return 2;
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
  if (size == 0) {
    fprintf(stderr, "no version resource (error %lu)\n", GetLastError());
    return 1;
  }
  void* data = malloc(size);
  if (!data || !GetFileVersionInfoW(argv[1], 0, size, data)) {
    fprintf(stderr, "cannot read the version resource\n");
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (VerQueryValueW(data, L"\\", (void**)&fixed, &length) && fixed) {
    printf("FixedFileVersion=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS));
    printf("FixedProductVersion=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwProductVersionMS),
           (unsigned)LOWORD(fixed->dwProductVersionMS),
           (unsigned)HIWORD(fixed->dwProductVersionLS),
           (unsigned)LOWORD(fixed->dwProductVersionLS));
    printf("FileType=%lu\n", (unsigned long)fixed->dwFileType);
  }
  /* The strings of the first language the resource lists. */
  struct {
    WORD language, codePage;
  }* translation = NULL;
  if (!VerQueryValueW(data, L"\\VarFileInfo\\Translation", (void**)&translation, &length) ||
      length < sizeof *translation) {
    fprintf(stderr, "no translation table\n");
    return 1;
  }
  static const wchar_t* const names[] = {L"FileVersion", L"ProductVersion", L"ProductName",
                                         L"OriginalFilename", L"FileDescription"};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    wchar_t path[128];
    swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->codePage, names[i]);
    wchar_t* value = NULL;
    char name[64];
    WideCharToMultiByte(CP_UTF8, 0, names[i], -1, name, sizeof name, NULL, NULL);
    print_utf8(name, VerQueryValueW(data, path, (void**)&value, &length) && value ? value : L"");
  }
  free(data);
  return 0;
}
