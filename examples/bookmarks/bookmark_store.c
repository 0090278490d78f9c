#include "bookmark_store.h"

#include "host_paths.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* dup_text(const unsigned char* text) {
  const char* s = text ? (const char*)text : "";
  char* out = malloc(strlen(s) + 1);
  if (out) strcpy(out, s);
  return out;
}

static int find_luid(sqlite3* db, sqlite3_stmt* st, long long* luid, int* found);

static int fail(sqlite3* db, const char* what) {
  fprintf(stderr, "bookmarks: %s failed: %s\n", what, sqlite3_errmsg(db));
  return -1;
}

sqlite3* bookmarks_open(const char* path) {
  sqlite3* db = NULL;
  char name[8192];
  if (sqlite3_open_v2(host_sqlite_name(path, name, sizeof name), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, host_sqlite_vfs()) != SQLITE_OK) {
    fprintf(stderr, "bookmarks: cannot open %s: %s\n", path, sqlite3_errmsg(db));
    sqlite3_close(db);
    return NULL;
  }
  /* Survives a power cut: with the rollback journal, EXTRA also syncs the folder once the
   * journal is deleted, so a commit cannot come back undone. (WAL would map its index
   * into memory, which a full disk turns into SIGBUS.) */
  if (sqlite3_exec(db, "PRAGMA synchronous=EXTRA;", NULL, NULL, NULL) != SQLITE_OK) {
    fail(db, "setting synchronous=EXTRA");
    sqlite3_close(db);
    return NULL;
  }
  const char* schema =
      "CREATE TABLE IF NOT EXISTS bookmarks(luid INTEGER PRIMARY KEY AUTOINCREMENT,"
      "title TEXT NOT NULL, url TEXT NOT NULL, guid TEXT NOT NULL DEFAULT '',"
      "state INTEGER NOT NULL DEFAULT 1);"
      /* Downloads look bookmarks up by guid. Not UNIQUE: files written before guids were
       * the key may hold a guid twice, and must still open. Also the upgrade of such
       * files. */
      "CREATE INDEX IF NOT EXISTS bookmarks_guid ON bookmarks(guid);"
      /* Bookmarks removed here while linked to a cloud record, until the cloud's copy is
       * gone: a download that brings such a record again must not bring it back. */
      "CREATE TABLE IF NOT EXISTS removed(luid INTEGER PRIMARY KEY, guid TEXT NOT NULL);"
      "CREATE INDEX IF NOT EXISTS removed_guid ON removed(guid);";
  if (sqlite3_exec(db, schema, NULL, NULL, NULL) != SQLITE_OK) {
    fail(db, "creating the table");
    sqlite3_close(db);
    return NULL;
  }
  return db;
}

void bookmarks_close(sqlite3* db) { sqlite3_close(db); }

int bookmarks_add(sqlite3* db, const char* title, const char* url, int state, const char* guid,
                  long long* luid) {
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, "INSERT INTO bookmarks(title,url,guid,state) VALUES(?,?,?,?);", -1,
                         &st, NULL) != SQLITE_OK) {
    return fail(db, "add");
  }
  sqlite3_bind_text(st, 1, title, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, url, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 3, guid ? guid : "", -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(st, 4, state);
  const int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return fail(db, "add");
  if (luid) *luid = sqlite3_last_insert_rowid(db);
  return 0;
}

int bookmarks_edit(sqlite3* db, long long luid, const char* title, const char* url, int state,
                   const char* guid, int* found) {
  sqlite3_stmt* st = NULL;
  const char* sql = guid ? "UPDATE bookmarks SET title=?,url=?,state=?,guid=? WHERE luid=?;"
                         : "UPDATE bookmarks SET title=?,url=?,state=? WHERE luid=?;";
  if (sqlite3_prepare_v2(db, sql, -1, &st, NULL) != SQLITE_OK) return fail(db, "edit");
  int i = 1;
  sqlite3_bind_text(st, i++, title, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, i++, url, -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(st, i++, state);
  if (guid) sqlite3_bind_text(st, i++, guid, -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, i, luid);
  const int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return fail(db, "edit");
  if (found) *found = sqlite3_changes(db) > 0;
  return 0;
}

int bookmarks_remove(sqlite3* db, long long luid, int* found) {
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, "DELETE FROM bookmarks WHERE luid=?;", -1, &st, NULL) != SQLITE_OK) {
    return fail(db, "remove");
  }
  sqlite3_bind_int64(st, 1, luid);
  const int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return fail(db, "remove");
  if (found) *found = sqlite3_changes(db) > 0;
  return 0;
}

static int exec_bound(sqlite3* db, const char* sql, long long luid, const char* text) {
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, sql, -1, &st, NULL) != SQLITE_OK) return fail(db, "update");
  int i = 1;
  if (luid) sqlite3_bind_int64(st, i++, luid);
  if (text) sqlite3_bind_text(st, i, text, -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE ? 0 : fail(db, "update");
}

int bookmarks_remove_local(sqlite3* db, long long luid, int* found) {
  *found = 0;
  if (bookmarks_begin(db)) return -1;
  int ok = exec_bound(db,
                      "INSERT OR REPLACE INTO removed(luid,guid) SELECT luid,guid FROM bookmarks "
                      "WHERE luid=? AND guid!='';",
                      luid, NULL) == 0 &&
           bookmarks_remove(db, luid, found) == 0;
  if (!ok) {
    sqlite3_exec(db, "ROLLBACK;", NULL, NULL, NULL);
    return -1;
  }
  return bookmarks_commit(db);
}

int bookmarks_find_removed(sqlite3* db, const char* guid, long long* luid, int* found) {
  *found = 0;
  if (!guid || !guid[0]) return 0;
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, "SELECT luid FROM removed WHERE guid=? ORDER BY luid LIMIT 1;", -1,
                         &st, NULL) != SQLITE_OK) {
    return fail(db, "lookup");
  }
  sqlite3_bind_text(st, 1, guid, -1, SQLITE_TRANSIENT);
  return find_luid(db, st, luid, found);
}

int bookmarks_forget_removed(sqlite3* db, long long luid, const char* guid) {
  return guid ? exec_bound(db, "DELETE FROM removed WHERE guid=?;", 0, guid)
              : exec_bound(db, "DELETE FROM removed WHERE luid=?;", luid, NULL);
}

int bookmarks_mark_clean(sqlite3* db, long long luid, const char* guid) {
  sqlite3_stmt* st = NULL;
  const char* sql = guid ? "UPDATE bookmarks SET state=0,guid=? WHERE luid=?;"
                         : "UPDATE bookmarks SET state=0 WHERE luid=?;";
  if (sqlite3_prepare_v2(db, sql, -1, &st, NULL) != SQLITE_OK) return fail(db, "update");
  int i = 1;
  if (guid) sqlite3_bind_text(st, i++, guid, -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, i, luid);
  const int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE ? 0 : fail(db, "update");
}

/* The luid the query st (bound, finalized here) yields first, or found = 0. */
static int find_luid(sqlite3* db, sqlite3_stmt* st, long long* luid, int* found) {
  *found = 0;
  const int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    *luid = sqlite3_column_int64(st, 0);
    *found = 1;
  }
  sqlite3_finalize(st);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : fail(db, "lookup");
}

int bookmarks_find_by_guid(sqlite3* db, const char* guid, long long* luid, int* found) {
  *found = 0;
  if (!guid || !guid[0]) return 0;
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, "SELECT luid FROM bookmarks WHERE guid=? ORDER BY luid LIMIT 1;", -1,
                         &st, NULL) != SQLITE_OK) {
    return fail(db, "lookup");
  }
  sqlite3_bind_text(st, 1, guid, -1, SQLITE_TRANSIENT);
  return find_luid(db, st, luid, found);
}

int bookmarks_find_unsent(sqlite3* db, const char* title, const char* url, long long* luid,
                          int* found) {
  *found = 0;
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db,
                         "SELECT luid FROM bookmarks WHERE state=1 AND guid='' AND title=? "
                         "AND url=? ORDER BY luid LIMIT 1;",
                         -1, &st, NULL) != SQLITE_OK) {
    return fail(db, "lookup");
  }
  sqlite3_bind_text(st, 1, title, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, url, -1, SQLITE_TRANSIENT);
  return find_luid(db, st, luid, found);
}

int bookmarks_begin(sqlite3* db) {
  return sqlite3_exec(db, "BEGIN IMMEDIATE;", NULL, NULL, NULL) == SQLITE_OK ? 0
                                                                            : fail(db, "begin");
}

int bookmarks_commit(sqlite3* db) {
  if (sqlite3_exec(db, "COMMIT;", NULL, NULL, NULL) == SQLITE_OK) return 0;
  fail(db, "commit");
  sqlite3_exec(db, "ROLLBACK;", NULL, NULL, NULL);
  return -1;
}

static void read_row(sqlite3_stmt* st, Bookmark* b) {
  b->luid = sqlite3_column_int64(st, 0);
  b->title = dup_text(sqlite3_column_text(st, 1));
  b->url = dup_text(sqlite3_column_text(st, 2));
  b->guid = dup_text(sqlite3_column_text(st, 3));
  b->state = sqlite3_column_int(st, 4);
}

int bookmarks_all(sqlite3* db, Bookmark** out, int* count) {
  *out = NULL;
  *count = 0;
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, "SELECT luid,title,url,guid,state FROM bookmarks ORDER BY luid;", -1,
                         &st, NULL) != SQLITE_OK) {
    return fail(db, "list");
  }
  int capacity = 0;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (*count == capacity) {
      capacity = capacity ? capacity * 2 : 16;
      Bookmark* grown = realloc(*out, (size_t)capacity * sizeof(Bookmark));
      if (!grown) break;
      *out = grown;
    }
    read_row(st, &(*out)[(*count)++]);
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE ? 0 : fail(db, "list");
}

int bookmarks_get(sqlite3* db, long long luid, Bookmark* out, int* found) {
  *found = 0;
  sqlite3_stmt* st = NULL;
  if (sqlite3_prepare_v2(db, "SELECT luid,title,url,guid,state FROM bookmarks WHERE luid=?;", -1,
                         &st, NULL) != SQLITE_OK) {
    return fail(db, "read");
  }
  sqlite3_bind_int64(st, 1, luid);
  if (sqlite3_step(st) == SQLITE_ROW) {
    read_row(st, out);
    *found = 1;
  }
  sqlite3_finalize(st);
  return 0;
}

void bookmark_clear(Bookmark* b) {
  free(b->title);
  free(b->url);
  free(b->guid);
  b->title = b->url = b->guid = NULL;
}

void bookmarks_free(Bookmark* list, int count) {
  for (int i = 0; i < count; ++i) bookmark_clear(&list[i]);
  free(list);
}
