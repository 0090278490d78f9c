/* A C host's view of the shared library: load it by path, find the eight exports by name,
 * and call the ones that need no session. */
#include <dlfcn.h>
#include <stdio.h>

#include "quillet.h"

static const char* const kExports[] = {"InitCloudSync",  "UninitCloudSync", "SyncDataNoReason",
                                       "SyncDataWithReason", "EndSync",      "StopSync",
                                       "DownUnstructFile", "ParseException"};

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s path/to/libQuillet.so\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "dlopen failed: %s\n", dlerror());
    return 1;
  }
  int failures = 0;
  for (size_t i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) {
    if (!dlsym(lib, kExports[i])) {
      fprintf(stderr, "missing export %s\n", kExports[i]);
      failures++;
    }
  }
  /* Internal C++ names must not be reachable. */
  if (dlsym(lib, "_ZN7quillet10Utf8ToWideERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE")) {
    fprintf(stderr, "an internal symbol is visible\n");
    failures++;
  }
  typedef int(QUILLET_CALL * ParseFn)(int);
  typedef int(QUILLET_CALL * SyncFn)(const char*, const char*, int, int);
  typedef void(QUILLET_CALL * StopFn)(const char*);
  ParseFn parse = (ParseFn)dlsym(lib, "ParseException");
  SyncFn sync = (SyncFn)dlsym(lib, "SyncDataNoReason");
  StopFn stop = (StopFn)dlsym(lib, "StopSync");
  if (parse && parse(50001) != 100) failures++;
  if (sync && sync("nobody", "bookmark", 1, 10) != QUILLET_NO_SESSION) failures++;
  if (sync && sync(NULL, NULL, 1, 10) != QUILLET_NO_SESSION) failures++;
  if (stop) stop(NULL);
  dlclose(lib);
  printf("shared library: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
