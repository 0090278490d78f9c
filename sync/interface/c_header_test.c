/* The public header compiled as C11: it must be valid C, and the records must have the
 * field order and natural alignment hosts rely on (checked here for this platform). */
#include <stddef.h>
#include <stdio.h>

#include "quillet.h"

#define P sizeof(void*)
#define CHECK(cond)                                   \
  do {                                                \
    checks++;                                         \
    if (!(cond)) {                                    \
      fprintf(stderr, "layout check failed: %s\n", #cond); \
      failures++;                                     \
    }                                                 \
  } while (0)

int main(void) {
  int failures = 0;
  int checks = 0;
  CHECK(sizeof(CloudSyncInitInfo) == 7 * P);
  CHECK(offsetof(CloudSyncInitInfo, SyncServerUrl) == 6 * P);
  CHECK(sizeof(SyncCallbacks) == 17 * P);
  CHECK(offsetof(SyncCallbacks, Reserved) == 12 * P);
  CHECK(offsetof(SyncCallbacks, ReportEvent) == 16 * P);
  CHECK(sizeof(FileItem) == 4 * P);

  /* luid textA guid etag | numberA (padded) | textC textD data | numberB numberC | 3 lists */
  CHECK(offsetof(StructDataItem, etag) == 3 * P);
  CHECK(offsetof(StructDataItem, numberA) == 4 * P);
  CHECK(offsetof(StructDataItem, textC) == 5 * P);
  CHECK(offsetof(StructDataItem, data) == 7 * P);
  CHECK(offsetof(StructDataItem, numberB) == 8 * P);
  CHECK(offsetof(StructDataItem, numberC) == 8 * P + 4);
  CHECK(offsetof(StructDataItem, filesA) == 9 * P);
  CHECK(offsetof(StructDataItem, filesCCount) == 14 * P);
  CHECK(sizeof(StructDataItem) == 15 * P);

  CHECK(offsetof(LocalIdItem, state) == P);
  CHECK(offsetof(LocalIdItem, valueC) == P + 8);
  CHECK(sizeof(LocalIdItem) == P + 16); /* three ints, padded */

  CHECK(offsetof(UpdateResultItem, numberA) == 2 * P);
  CHECK(offsetof(UpdateResultItem, filesA) == 3 * P);
  CHECK(offsetof(UpdateResultItem, filesBCount) == 6 * P);
  CHECK(sizeof(UpdateResultItem) == 7 * P);

  CHECK(offsetof(KeyedTextList, values) == P);
  CHECK(offsetof(KeyedTextList, valueCount) == 2 * P);
  CHECK(sizeof(KeyedTextList) == 3 * P);

  CHECK(offsetof(QueryResultItem, files) == 3 * P);
  CHECK(offsetof(QueryResultItem, filesCount) == 4 * P);
  CHECK(offsetof(QueryResultItem, textC) == 5 * P);
  CHECK(offsetof(QueryResultItem, numberB) == 6 * P);
  CHECK(offsetof(QueryResultItem, numberC) == 6 * P + 4);
  CHECK(sizeof(QueryResultItem) == 7 * P);

  /* An int that sits in padding (numberA) could widen without moving any offset. */
#define INT_FIELD(record, field) CHECK(sizeof(((record*)0)->field) == 4)
  INT_FIELD(StructDataItem, numberA);
  INT_FIELD(StructDataItem, numberB);
  INT_FIELD(StructDataItem, numberC);
  INT_FIELD(StructDataItem, filesACount);
  INT_FIELD(StructDataItem, filesBCount);
  INT_FIELD(StructDataItem, filesCCount);
  INT_FIELD(LocalIdItem, state);
  INT_FIELD(UpdateResultItem, numberA);
  INT_FIELD(UpdateResultItem, filesACount);
  INT_FIELD(KeyedTextList, valueCount);
  INT_FIELD(QueryResultItem, filesCount);

  CHECK(QUILLET_OK == 0 && QUILLET_NO_SESSION == -1 && QUILLET_INVALID_CALL == 2003 &&
        QUILLET_STOPPED == 2027 && QUILLET_LIMIT_REACHED == 50001);
  CHECK(QUILLET_LOCK_FAILED == 1001 && QUILLET_NO_RESPONSE == 2004 &&
        QUILLET_ETAGS_UNREADABLE == 2006 && QUILLET_STORE_FAILED == 2007 &&
        QUILLET_NO_CLIENT == 2008 && QUILLET_CLOUD_LOCKED == 2009 &&
        QUILLET_INTERNAL_ERROR == 2010);
  printf("record layouts: %d checks, %d failed\n", checks, failures);
  return failures == 0 ? 0 : 1;
}
