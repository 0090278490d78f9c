/* The sample host's own bookmark file: an SQLite table kept apart from the library's
 * store. state 1 marks a bookmark added or edited locally since the last upload; removed
 * bookmarks are deleted at once (the library notices them missing). guid is the cloud's
 * id, '' until the first upload or download; downloads use it as the key. */
#ifndef QUILLET_EXAMPLES_BOOKMARK_STORE_H_
#define QUILLET_EXAMPLES_BOOKMARK_STORE_H_

#include <sqlite3.h>

typedef struct Bookmark {
  long long luid;
  char* title;
  char* url;
  char* guid;
  int state;
} Bookmark;

/* Opens (creating when missing) the bookmark file. NULL on failure, with a message. */
sqlite3* bookmarks_open(const char* path);
void bookmarks_close(sqlite3* db);

/* Each returns 0 on success, -1 on failure (message printed). */
int bookmarks_add(sqlite3* db, const char* title, const char* url, int state, const char* guid,
                  long long* luid);
int bookmarks_edit(sqlite3* db, long long luid, const char* title, const char* url, int state,
                   const char* guid, int* found);
int bookmarks_remove(sqlite3* db, long long luid, int* found);
int bookmarks_mark_clean(sqlite3* db, long long luid, const char* guid);
/* A removal by the user: also remembers the bookmark's guid (when it has one) until the
 * cloud's copy is gone, see bookmarks_find_removed. */
int bookmarks_remove_local(sqlite3* db, long long luid, int* found);
/* The luid a removed bookmark had under guid, or found = 0. */
int bookmarks_find_removed(sqlite3* db, const char* guid, long long* luid, int* found);
/* The cloud's copy is gone: forget the removal by guid (or by luid when guid is NULL). */
int bookmarks_forget_removed(sqlite3* db, long long luid, const char* guid);

/* The bookmark holding guid (the lowest luid if a file from before guids were the key
 * holds it twice), or found = 0. */
int bookmarks_find_by_guid(sqlite3* db, const char* guid, long long* luid, int* found);
/* A bookmark with this title and URL that waits for its first upload (state 1, no guid). */
int bookmarks_find_unsent(sqlite3* db, const char* title, const char* url, long long* luid,
                          int* found);
/* One transaction around a batch of writes; a failed commit is rolled back. */
int bookmarks_begin(sqlite3* db);
int bookmarks_commit(sqlite3* db);

/* All bookmarks in luid order; *out is malloc'ed, free with bookmarks_free. */
int bookmarks_all(sqlite3* db, Bookmark** out, int* count);
/* One bookmark, or found = 0. */
int bookmarks_get(sqlite3* db, long long luid, Bookmark* out, int* found);
void bookmark_clear(Bookmark* b);
void bookmarks_free(Bookmark* list, int count);

#endif /* QUILLET_EXAMPLES_BOOKMARK_STORE_H_ */
