/* Loads the Quillet library at run time and looks its functions up by name. */
#ifndef QUILLET_EXAMPLES_LIBRARY_LOADER_H_
#define QUILLET_EXAMPLES_LIBRARY_LOADER_H_

#include "quillet.h"

typedef struct QuilletApi {
  void* handle;
  void(QUILLET_CALL* InitCloudSync)(const CloudSyncInitInfo*, const SyncCallbacks*);
  void(QUILLET_CALL* UninitCloudSync)(void);
  int(QUILLET_CALL* SyncDataWithReason)(const char*, const char*, int, int, int);
  void(QUILLET_CALL* EndSync)(const char*, const char**, int, const char**, int);
  int(QUILLET_CALL* ParseException)(int);
} QuilletApi;

/* path: the library file, or "" for the default (beside this program's lib/ folder, then
 * the system's search path). Returns 0, or prints why and returns -1. */
int load_quillet(const char* path, QuilletApi* api);
void unload_quillet(QuilletApi* api);

#endif /* QUILLET_EXAMPLES_LIBRARY_LOADER_H_ */
