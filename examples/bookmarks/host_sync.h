/* One sync round of the sample host: loads the library, installs the callbacks, runs
 * SyncDataWithReason for "bookmark" and EndSync, and prints progress and a summary. */
#ifndef QUILLET_EXAMPLES_HOST_SYNC_H_
#define QUILLET_EXAMPLES_HOST_SYNC_H_

#include <sqlite3.h>

#include "host_options.h"

/* Exit status: 0 on success, 1 on any failure (with a message naming the code). */
int run_sync(sqlite3* db, const HostOptions* options);

#endif /* QUILLET_EXAMPLES_HOST_SYNC_H_ */
