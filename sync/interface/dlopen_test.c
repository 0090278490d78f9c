/* A C host's view of the shared library: load it by path, find the eight exports by name,
 * and call the ones that need no session. Given a writable folder as well, it runs a round
 * there (logging starts; the unreachable server refuses the lock), then unloads the library
 * and exits: nothing the library left in process-wide state may outlive its code. */
#include <dlfcn.h>
#include <stdio.h>

#include "quillet.h"

static const char* const kExports[] = {"InitCloudSync",  "UninitCloudSync", "SyncDataNoReason",
                                       "SyncDataWithReason", "EndSync",      "StopSync",
                                       "DownUnstructFile", "ParseException"};

static void QUILLET_CALL Ignore(void) {}
static void QUILLET_CALL IgnoreReport(int kind, const char* id, const char** keys,
                                      const char** values, int count) {
  (void)kind, (void)id, (void)keys, (void)values, (void)count;
}

/* A round whose lock request finds no server: it starts the library's logging and ends. */
static int RunARound(void* lib, const char* folder) {
  typedef void(QUILLET_CALL * InitFn)(const CloudSyncInitInfo*, const SyncCallbacks*);
  typedef void(QUILLET_CALL * UninitFn)(void);
  typedef int(QUILLET_CALL * SyncFn)(const char*, const char*, int, int);
  InitFn init = (InitFn)dlsym(lib, "InitCloudSync");
  UninitFn uninit = (UninitFn)dlsym(lib, "UninitCloudSync");
  SyncFn sync = (SyncFn)dlsym(lib, "SyncDataNoReason");
  if (!init || !uninit || !sync) return 1;
  /* Every entry must be set (a NULL one is refused). This round calls only ReportEvent,
   * which gets a stub of its own type; a do-nothing placeholder fills the rest. */
  SyncCallbacks callbacks;
  void (**entry)(void) = (void (**)(void))&callbacks;
  for (size_t i = 0; i < sizeof callbacks / sizeof *entry; ++i) entry[i] = Ignore;
  callbacks.ReportEvent = IgnoreReport;
  const CloudSyncInitInfo info = {"browser", "token", "user", "app",
                                  folder,    folder,  "https://127.0.0.1:1/"};
  init(&info, &callbacks);
  const int code = sync("browser", "bookmark", 1, 10);
  uninit();
  if (code != QUILLET_LOCK_FAILED) {
    fprintf(stderr, "a round against no server answered %d\n", code);
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s path/to/libQuillet.so [writable folder]\n", argv[0]);
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
  if (argc == 3) failures += RunARound(lib, argv[2]);
  dlclose(lib);
  printf("shared library: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
