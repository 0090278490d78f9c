/* Bookmark contents are written and read with SQLite's JSON functions (the host links
 * SQLite already), so escapes, numbers and nested members that other clients write are
 * read the way JSON defines them. */
#include "bookmark_json.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>

/* One private in-memory connection for the whole process, with its two statements. */
static sqlite3* g_json;
static sqlite3_stmt* g_write;
static sqlite3_stmt* g_read;

static void close_json(void) {
  sqlite3_finalize(g_write);
  sqlite3_finalize(g_read);
  sqlite3_close(g_json);
  g_write = g_read = NULL;
  g_json = NULL;
}

static sqlite3_stmt* statement(sqlite3_stmt** slot, const char* sql) {
  if (!g_json) {
    if (sqlite3_open_v2(":memory:", &g_json, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL) !=
        SQLITE_OK) {
      sqlite3_close(g_json);
      g_json = NULL;
      return NULL;
    }
    atexit(close_json);
  }
  if (!*slot && sqlite3_prepare_v2(g_json, sql, -1, slot, NULL) != SQLITE_OK) return NULL;
  return *slot;
}

static char* dup_text(const unsigned char* text, int size) {
  char* out = malloc((size_t)size + 1);
  if (!out) return NULL;
  if (size > 0) memcpy(out, text, (size_t)size);
  out[size] = '\0';
  return out;
}

char* bookmark_to_json(const char* title, const char* url) {
  sqlite3_stmt* s = statement(&g_write, "SELECT json_object('title', ?1, 'url', ?2)");
  if (!s) return NULL;
  sqlite3_bind_text(s, 1, title ? title : "", -1, SQLITE_STATIC);
  sqlite3_bind_text(s, 2, url ? url : "", -1, SQLITE_STATIC);
  char* out = NULL;
  if (sqlite3_step(s) == SQLITE_ROW)
    out = dup_text(sqlite3_column_text(s, 0), sqlite3_column_bytes(s, 0));
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return out;
}

/* SQLite writes a lone surrogate escape as its three-byte form, which is not UTF-8: each
 * becomes U+FFFD, of the same length. */
static void replace_lone_surrogates(char* text) {
  for (unsigned char* p = (unsigned char*)text; p[0]; ++p) {
    if (p[0] == 0xED && p[1] >= 0xA0 && p[1] <= 0xBF && p[2] >= 0x80 && p[2] <= 0xBF) {
      p[0] = 0xEF;
      p[1] = 0xBF;
      p[2] = 0xBD;
      p += 2;
    }
  }
}

/* One member from the columns type, value and JSON text: 0, or -1 for a type that is no
 * text (or out of memory). */
static int member_text(sqlite3_stmt* s, int column, char** out) {
  const char* type = (const char*)sqlite3_column_text(s, column);
  if (!type || strcmp(type, "null") == 0) {
    *out = dup_text((const unsigned char*)"", 0);
  } else if (strcmp(type, "text") == 0) {
    *out = dup_text(sqlite3_column_text(s, column + 1), sqlite3_column_bytes(s, column + 1));
    if (*out) replace_lone_surrogates(*out);
  } else if (strcmp(type, "integer") == 0 || strcmp(type, "real") == 0) {
    /* The number as written, not as a double would print it. */
    *out = dup_text(sqlite3_column_text(s, column + 2), sqlite3_column_bytes(s, column + 2));
  } else {
    return -1;
  }
  return *out ? 0 : -1;
}

int bookmark_from_json(const char* json, char** title, char** url) {
  *title = *url = NULL;
  sqlite3_stmt* s = statement(
      &g_read,
      "SELECT json_type(?1), "
      "json_type(?1, '$.title'), json_extract(?1, '$.title'), ?1 -> '$.title', "
      "json_type(?1, '$.url'), json_extract(?1, '$.url'), ?1 -> '$.url'");
  if (!s || !json) return -1;
  sqlite3_bind_text(s, 1, json, -1, SQLITE_STATIC);
  /* Malformed JSON makes the step fail. */
  const int ok = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) == SQLITE_TEXT &&
                 strcmp((const char*)sqlite3_column_text(s, 0), "object") == 0 &&
                 member_text(s, 1, title) == 0 && member_text(s, 4, url) == 0;
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  if (ok) return 0;
  free(*title);
  free(*url);
  *title = *url = NULL;
  return -1;
}
