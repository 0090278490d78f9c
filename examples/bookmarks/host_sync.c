#include "host_sync.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "bookmark_json.h"
#include "bookmark_store.h"
#include "library_loader.h"
#include "quillet.h"

/* The callbacks carry no context pointer, so the round's state is file-wide. */
static sqlite3* g_db;
static const HostOptions* g_options;
static struct {
  int cloudAdded, cloudModified, cloudDeleted;
  int received, removedLocally;
  int redelivered, adopted; /* additions that were already here (by guid, by content) */
  int uploadedAdds, uploadedEdits, uploadedDeletes;
  int passResult;
} g_stats;

/* The first write of the bookmark file that failed this round (its SQLite message, which
 * names a full disk, an I/O error, a read-only file...); empty when none did. Such a round
 * does not end as a success: what was not stored stays pending for the next one. */
static char g_hostError[512];
static void note_host_error(const char* what) {
  if (!g_hostError[0]) {
    snprintf(g_hostError, sizeof g_hostError, "%s: %s", what, sqlite3_errmsg(g_db));
  }
}
/* Ends a batch's transaction: committed, or rolled back after a failed write. A statement
 * that failed on a full disk may have rolled the transaction back already (SQLite does so
 * on SQLITE_FULL and I/O errors), so later statements of the batch would have run on their
 * own: the batch is judged by every write and by the transaction still being open. */
static int finish_batch(int ok, const char* what) {
  if (ok && sqlite3_get_autocommit(g_db)) ok = 0; /* rolled back underneath us */
  if (ok && sqlite3_exec(g_db, "COMMIT;", NULL, NULL, NULL) == SQLITE_OK) return 0;
  note_host_error(what); /* the message of the failed write or commit */
  if (!sqlite3_get_autocommit(g_db)) sqlite3_exec(g_db, "ROLLBACK;", NULL, NULL, NULL);
  return -1;
}
static char* dup_string(const char* s) {
  char* out = malloc(strlen(s ? s : "") + 1);
  if (out) strcpy(out, s ? s : "");
  return out;
}

static void QUILLET_CALL on_download_start(const char* type, int add, int modify, int del) {
  (void)type;
  g_stats.cloudAdded += add;
  g_stats.cloudModified += modify;
  g_stats.cloudDeleted += del;
  printf("  cloud changes found: %d added, %d modified, %d deleted\n", add, modify, del);
}

static void QUILLET_CALL on_upload_start(const char* type) {
  (void)type;
  printf("  looking for local changes to upload\n");
}

/* Where a downloaded addition goes (its luid). Delivery is at least once, so the guid is
 * the key: a bookmark already holding it is that record, delivered again (the last round
 * ended before the library recorded it). It takes the cloud's content unless it was edited
 * here since: then the edit is newer and is uploaded next. A guid of a bookmark removed
 * here since is answered with the old luid, unstored: the library then sends the removal.
 * Otherwise a bookmark with the same content that waits for its first upload is the one
 * whose add answer was lost: it takes the guid, so it is not uploaded twice. Only then is
 * it a new bookmark. */
static int place_added(const char* guid, const char* title, const char* url, long long* luid) {
  int found = 0;
  if (bookmarks_find_by_guid(g_db, guid, luid, &found)) return -1;
  if (found) {
    ++g_stats.redelivered;
    Bookmark b;
    if (bookmarks_get(g_db, *luid, &b, &found) || !found) return -1;
    const int editedHere = b.state == 1;
    bookmark_clear(&b);
    if (editedHere) return 0;
    return bookmarks_edit(g_db, *luid, title, url, 0, guid, &found) == 0 && found ? 0 : -1;
  }
  if (bookmarks_find_removed(g_db, guid, luid, &found)) return -1;
  if (found) {
    ++g_stats.redelivered;
    return 0;
  }
  if (bookmarks_find_unsent(g_db, title, url, luid, &found)) return -1;
  if (found) {
    ++g_stats.adopted;
    return bookmarks_mark_clean(g_db, *luid, guid);
  }
  return bookmarks_add(g_db, title, url, 0, guid, luid);
}

/* Stores one downloaded record; fills result on success. 1: skipped (not a bookmark, or
 * a modification of one no longer here); -1: a write failed. */
static int store_downloaded(const StructDataItem* item, int isNew, UpdateResultItem* result) {
  char *title = NULL, *url = NULL;
  if (bookmark_from_json(item->data, &title, &url)) {
    fprintf(stderr, "  skipped cloud record %s: its content is not a bookmark\n", item->guid);
    return 1;
  }
  long long luid = 0;
  int ok;
  int found = 1;
  if (isNew) {
    ok = place_added(item->guid, title, url, &luid) == 0;
  } else {
    luid = strtoll(item->luid ? item->luid : "0", NULL, 10);
    /* The cloud's version wins: the download runs before the upload of local edits. */
    ok = bookmarks_edit(g_db, luid, title, url, 0, item->guid, &found) == 0;
  }
  free(title);
  free(url);
  if (!ok) return -1;
  if (!found) return 1; /* removed here meanwhile: not confirmed */
  char luidText[32];
  snprintf(luidText, sizeof luidText, "%lld", luid);
  memset(result, 0, sizeof *result);
  result->luid = dup_string(luidText);
  result->guid = dup_string(item->guid);
  return 0;
}

static void free_update_result_texts(UpdateResultItem* results, int count) {
  for (int i = 0; i < count; ++i) {
    free((char*)results[i].luid);
    free((char*)results[i].guid);
  }
}

static void QUILLET_CALL update_struct_data(const char* type, const StructDataItem* added,
                                            int addedCount, const StructDataItem* modified,
                                            int modifiedCount, UpdateResultItem** results,
                                            int* resultCount) {
  (void)type;
  const int total = addedCount + modifiedCount;
  if (total <= 0) return;
  UpdateResultItem* out = calloc((size_t)total, sizeof *out);
  if (!out) return;
  /* One transaction: a batch is stored whole or not at all, and is answered only once it
   * is on disk. */
  if (bookmarks_begin(g_db)) {
    note_host_error("starting a batch");
    free(out);
    return;
  }
  int n = 0;
  int ok = 1;
  for (int i = 0; ok && i < addedCount + modifiedCount; ++i) {
    const int isNew = i < addedCount;
    const StructDataItem* item = isNew ? &added[i] : &modified[i - addedCount];
    const int stored = store_downloaded(item, isNew, &out[n]);
    if (stored < 0) ok = 0;
    if (stored == 0) ++n;
  }
  /* Nothing is answered unless the whole batch is on disk: the library offers the rest
   * again next round. */
  if (finish_batch(ok, "storing downloaded bookmarks")) {
    fprintf(stderr, "  could not store a batch of %d bookmarks: %s\n", total, g_hostError);
    free_update_result_texts(out, n);
    free(out);
    return;
  }
  g_stats.received += n;
  printf("  received a batch: %d new, %d changed bookmarks\n", addedCount, modifiedCount);
  *results = out;
  *resultCount = n;
}

static void QUILLET_CALL free_update_results(UpdateResultItem* results, int count) {
  free_update_result_texts(results, count);
  free(results);
}

static void QUILLET_CALL get_new_at(char** token) {
  printf("  the access token expired; handing over the configured one again\n");
  *token = dup_string(g_options->token);
}

static void QUILLET_CALL free_at(char* token) { free(token); }

static void QUILLET_CALL delete_data(const char* type, const char** luids, int count,
                                     char*** results, int* resultCount) {
  (void)type;
  if (count <= 0) return;
  char** out = calloc((size_t)count, sizeof *out);
  if (!out) return;
  int n = 0;
  int removed = 0;
  int ok = bookmarks_begin(g_db) == 0;
  for (int i = 0; ok && i < count; ++i) {
    /* A bookmark already gone (removed here, or by a round that ended before the library
     * recorded it) counts as deleted: unanswered, the library would keep its cloud link
     * and send its deletion again every round. Only a failed delete is left out. */
    int found = 0;
    const long long luid = strtoll(luids[i], NULL, 10);
    if (bookmarks_remove(g_db, luid, &found) == 0 &&
        bookmarks_forget_removed(g_db, luid, NULL) == 0) {
      out[n++] = dup_string(luids[i]);
      removed += found;
    } else {
      ok = 0;
    }
  }
  /* All or nothing, answered only once on disk. */
  if (finish_batch(ok, "removing bookmarks deleted on the cloud")) {
    fprintf(stderr, "  could not remove %d bookmarks: %s\n", count, g_hostError);
    for (int i = 0; i < n; ++i) free(out[i]);
    free(out);
    return;
  }
  g_stats.removedLocally += removed;
  printf("  removed %d bookmark%s deleted on the cloud\n", removed, removed == 1 ? "" : "s");
  *results = out;
  *resultCount = n;
}

static void QUILLET_CALL free_delete_results(char** results, int count) {
  for (int i = 0; i < count; ++i) free(results[i]);
  free(results);
}

static void QUILLET_CALL query_local_ids(const char* type, int mode, LocalIdItem** items,
                                         int* count) {
  (void)type;
  (void)mode;
  Bookmark* list = NULL;
  int n = 0;
  if (bookmarks_all(g_db, &list, &n) || n == 0) {
    bookmarks_free(list, n);
    return;
  }
  LocalIdItem* out = calloc((size_t)n, sizeof *out);
  if (out) {
    for (int i = 0; i < n; ++i) {
      char text[32];
      snprintf(text, sizeof text, "%lld", list[i].luid);
      out[i].luid = dup_string(text);
      out[i].state = list[i].state;
    }
    *items = out;
    *count = n;
  }
  bookmarks_free(list, n);
}

static void QUILLET_CALL free_local_ids(LocalIdItem* items, int count) {
  for (int i = 0; i < count; ++i) free((char*)items[i].luid);
  free(items);
}

static void QUILLET_CALL data_query_by_id(const char* type, const char** luids, int count,
                                          QueryResultItem** results, int* resultCount) {
  (void)type;
  if (count <= 0) return;
  QueryResultItem* out = calloc((size_t)count, sizeof *out);
  if (!out) return;
  int n = 0;
  for (int i = 0; i < count; ++i) {
    Bookmark b;
    int found = 0;
    if (bookmarks_get(g_db, strtoll(luids[i], NULL, 10), &b, &found) || !found) continue;
    out[n].luid = dup_string(luids[i]);
    out[n].data = bookmark_to_json(b.title, b.url);
    out[n].textA = dup_string("");
    out[n].textC = dup_string("");
    bookmark_clear(&b);
    ++n;
  }
  *results = out;
  *resultCount = n;
}

static void QUILLET_CALL free_query_results(QueryResultItem* results, int count) {
  for (int i = 0; i < count; ++i) {
    free((char*)results[i].luid);
    free((char*)results[i].data);
    free((char*)results[i].textA);
    free((char*)results[i].textC);
  }
  free(results);
}

static void QUILLET_CALL reserved(const char* t, const FileItem* a, int an, const FileItem* b,
                                  int bn, const KeyedTextList* k, int kn, unsigned char f, int v) {
  (void)t, (void)a, (void)an, (void)b, (void)bn, (void)k, (void)kn, (void)f, (void)v;
}

static void QUILLET_CALL update_sync_result(const char* type, const StructDataItem* added,
                                            int addedCount, const StructDataItem* modified,
                                            int modifiedCount, const char** deleted,
                                            int deletedCount, const KeyedTextList* extra,
                                            int extraCount) {
  (void)type, (void)extra, (void)extraCount;
  /* One transaction: when it fails, every bookmark of the batch stays pending and is sent
   * again next round (as a change of the record the cloud now holds, never a second one). */
  int ok = bookmarks_begin(g_db) == 0;
  for (int i = 0; ok && i < addedCount; ++i) {
    ok = bookmarks_mark_clean(g_db, strtoll(added[i].luid, NULL, 10), added[i].guid) == 0;
  }
  /* The guid also fills in one that a round ended before this call never stored. */
  for (int i = 0; ok && i < modifiedCount; ++i) {
    const char* guid = modified[i].guid && modified[i].guid[0] ? modified[i].guid : NULL;
    ok = bookmarks_mark_clean(g_db, strtoll(modified[i].luid, NULL, 10), guid) == 0;
  }
  for (int i = 0; ok && i < deletedCount; ++i) {
    ok = bookmarks_forget_removed(g_db, 0, deleted[i]) == 0;
  }
  if (finish_batch(ok, "recording uploaded bookmarks")) {
    fprintf(stderr, "  could not record %d uploaded bookmarks: %s\n",
            addedCount + modifiedCount + deletedCount, g_hostError);
    return;
  }
  g_stats.uploadedAdds += addedCount;
  g_stats.uploadedEdits += modifiedCount;
  g_stats.uploadedDeletes += deletedCount;
  printf("  uploaded: %d added, %d changed, %d deleted\n", addedCount, modifiedCount, deletedCount);
}

static void QUILLET_CALL on_data_sync_end(const char* type, int code) {
  (void)type;
  g_stats.passResult = code;
}

static void QUILLET_CALL on_sync_end(void) {}

/* The first step the library reported as failed, to explain a failed sync. */
static char g_failedStep[512];

static void QUILLET_CALL report_event(int kind, const char* id, const char** keys,
                                      const char** values, int count) {
  (void)kind;
  const char* code = "0";
  const char* info = "";
  for (int i = 0; i < count; ++i) {
    if (strcmp(keys[i], "returnCode") == 0) code = values[i];
    if (strcmp(keys[i], "syncInfo") == 0) info = values[i];
  }
  if (strcmp(code, "0") != 0 && !g_failedStep[0])
    snprintf(g_failedStep, sizeof g_failedStep, "%s: %s", id, info);
  if (!g_options->verbose) return;
  printf("  [report %s]", id);
  for (int i = 0; i < count; ++i) printf(" %s=%s", keys[i], values[i]);
  printf("\n");
}

static const char* meaning(int code) {
  switch (code) {
    case QUILLET_OK:
      return "success";
    case QUILLET_NO_SESSION:
      return "no session for the sync type";
    case QUILLET_LOCK_FAILED:
      return "the cloud lock could not be taken";
    case QUILLET_INVALID_CALL:
      return "a setting is empty or the call order is wrong";
    case QUILLET_NO_RESPONSE:
      return "the sync server did not answer";
    case QUILLET_ETAGS_UNREADABLE:
      return "the local sync store could not be read";
    case QUILLET_STORE_FAILED:
      return "the local sync store could not be opened or written";
    case QUILLET_NO_CLIENT:
      return "logging could not start or the sync type has no client";
    case QUILLET_CLOUD_LOCKED:
      return "another device is syncing right now";
    case QUILLET_INTERNAL_ERROR:
      return "an internal error of the library";
    case QUILLET_STOPPED:
      return "the sync was stopped";
    case QUILLET_LIMIT_REACHED:
      return "the bookmark collection is full";
    default:
      return "a status of the sync service";
  }
}

int run_sync(sqlite3* db, const HostOptions* options) {
  if (!options->server[0] || !options->user[0] || !options->token[0]) {
    fprintf(stderr,
            "sync needs --server, --user and --token (or " TOKEN_VARIABLE ", or host.ini)\n");
    return 1;
  }
  /* The library refuses any other scheme as well; said here in the user's words. */
  if (strncmp(options->server, "https://", 8) != 0) {
    fprintf(stderr, "the server URL must start with https:// (the token never goes in clear)\n");
    return 1;
  }
  QuilletApi api;
  if (load_quillet(options->library, &api)) return 1;
  g_db = db;
  g_options = options;
  memset(&g_stats, 0, sizeof g_stats);
  g_failedStep[0] = '\0';
  g_hostError[0] = '\0';

  char dataDir[4096], logDir[4096];
  snprintf(dataDir, sizeof dataDir, "%s" HOST_SEP "data", options->profile);
  snprintf(logDir, sizeof logDir, "%s" HOST_SEP "logs", options->profile);
  CloudSyncInitInfo info = {"browser", options->token, options->user,  options->app,
                            dataDir,   logDir,         options->server};
  SyncCallbacks callbacks = {on_download_start,  on_upload_start,
                             update_struct_data, free_update_results,
                             get_new_at,         free_at,
                             delete_data,        free_delete_results,
                             query_local_ids,    free_local_ids,
                             data_query_by_id,   free_query_results,
                             reserved,           update_sync_result,
                             on_data_sync_end,   on_sync_end,
                             report_event};

  const time_t started = time(NULL);
  printf("syncing bookmarks of %s with %s (batch %d)\n", options->user, options->server,
         options->batch);
  api.InitCloudSync(&info, &callbacks);
  const int code = api.SyncDataWithReason("browser", "bookmark", 1, options->batch, 1);
  const char* none[1] = {NULL};
  api.EndSync("browser", none, 0, none, 0);
  api.UninitCloudSync();

  if (code != 0) {
    fprintf(stderr, "sync failed: code %d (%s; class %d). Logs are in %s/Quillet.\n", code,
            meaning(code), api.ParseException(code), logDir);
    if (g_failedStep[0]) fprintf(stderr, "  failed step %s\n", g_failedStep);
    if (g_hostError[0]) fprintf(stderr, "  the bookmark file failed: %s\n", g_hostError);
    unload_quillet(&api);
    return 1;
  }
  if (g_hostError[0]) {
    /* The library did its part; this side could not store all of it. */
    fprintf(stderr, "sync incomplete: the bookmark file failed (%s); the next sync resumes.\n",
            g_hostError);
    unload_quillet(&api);
    return 1;
  }
  printf(
      "sync done in %lds: downloaded %d (cloud: +%d ~%d -%d, %d removed here, "
      "%d already here, %d adopted), uploaded +%d ~%d -%d\n",
      (long)(time(NULL) - started), g_stats.received, g_stats.cloudAdded, g_stats.cloudModified,
      g_stats.cloudDeleted, g_stats.removedLocally, g_stats.redelivered, g_stats.adopted,
      g_stats.uploadedAdds, g_stats.uploadedEdits, g_stats.uploadedDeletes);
  unload_quillet(&api);
  return 0;
}
