/* The sample host's own bookmark file: an SQLite table kept apart from the library's
 * store. state 1 marks a bookmark added or edited locally since the last upload; removed
 * bookmarks are deleted at once (the library notices them missing). */
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

/* All bookmarks in luid order; *out is malloc'ed, free with bookmarks_free. */
int bookmarks_all(sqlite3* db, Bookmark** out, int* count);
/* One bookmark, or found = 0. */
int bookmarks_get(sqlite3* db, long long luid, Bookmark* out, int* found);
void bookmark_clear(Bookmark* b);
void bookmarks_free(Bookmark* list, int count);

#endif /* QUILLET_EXAMPLES_BOOKMARK_STORE_H_ */
