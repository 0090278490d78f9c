#include "library_loader.h"

#include "host_paths.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define OPEN_LIBRARY(path) host_load_library(path)
#define FIND_SYMBOL(handle, name) ((void*)GetProcAddress((HMODULE)(handle), name))
#define CLOSE_LIBRARY(handle) FreeLibrary((HMODULE)(handle))
#define DEFAULT_LIBRARY "Quillet.dll"
#else
#include <dlfcn.h>
#include <unistd.h>
#define OPEN_LIBRARY(path) host_load_library(path)
#define FIND_SYMBOL(handle, name) dlsym(handle, name)
#define CLOSE_LIBRARY(handle) dlclose(handle)
#define DEFAULT_LIBRARY "libQuillet.so.1"
#endif

static void* open_default(void) {
#if !defined(_WIN32)
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash) {
      *slash = '\0';
      char path[4200];
      snprintf(path, sizeof path, "%s/../lib/%s", exe, DEFAULT_LIBRARY);
      void* handle = OPEN_LIBRARY(path);
      if (handle) return handle;
    }
  }
#endif
  return OPEN_LIBRARY(DEFAULT_LIBRARY);
}

int load_quillet(const char* path, QuilletApi* api) {
  memset(api, 0, sizeof *api);
  api->handle = path && path[0] ? OPEN_LIBRARY(path) : open_default();
  if (!api->handle) {
    fprintf(stderr, "cannot load the Quillet library (%s)\n",
            path && path[0] ? path : DEFAULT_LIBRARY);
    return -1;
  }
  /* Function pointers from a data pointer: the documented way with dlsym. */
  *(void**)&api->InitCloudSync = FIND_SYMBOL(api->handle, "InitCloudSync");
  *(void**)&api->UninitCloudSync = FIND_SYMBOL(api->handle, "UninitCloudSync");
  *(void**)&api->SyncDataWithReason = FIND_SYMBOL(api->handle, "SyncDataWithReason");
  *(void**)&api->EndSync = FIND_SYMBOL(api->handle, "EndSync");
  *(void**)&api->ParseException = FIND_SYMBOL(api->handle, "ParseException");
  if (!api->InitCloudSync || !api->UninitCloudSync || !api->SyncDataWithReason || !api->EndSync ||
      !api->ParseException) {
    fprintf(stderr, "the loaded library lacks a Quillet function\n");
    unload_quillet(api);
    return -1;
  }
  return 0;
}

void unload_quillet(QuilletApi* api) {
  if (api->handle) CLOSE_LIBRARY(api->handle);
  api->handle = NULL;
}
