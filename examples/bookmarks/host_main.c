/* quillet-bookmarks: a small bookmark keeper that syncs through the Quillet library.
 *
 * Usage: quillet-bookmarks --profile DIR [options] COMMAND
 *   add TITLE URL | edit LUID TITLE URL | remove LUID | list | sync
 * Options (each also readable from DIR/host.ini as key=value):
 *   --server URL  --user ID  --token AT  --app ID  --batch N  --library PATH  --verbose
 * The token may also come from the environment variable QUILLET_BOOKMARKS_TOKEN, which
 * other users cannot read as they can a command line.
 *
 * The profile directory holds this host's own bookmarks.db, the library's store (data/)
 * and its logs (logs/). The library is loaded at run time and its functions looked up by
 * name, as any host of it would. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include "bookmark_store.h"
#include "host_options.h"
#include "host_paths.h"
#include "host_sync.h"

static int cmd_add(sqlite3* db, int argc, char** argv) {
  if (argc != 2) return usage_error("add needs TITLE and URL");
  long long luid = 0;
  if (bookmarks_add(db, argv[0], argv[1], 1, "", &luid)) return 1;
  printf("added %lld: %s <%s>\n", luid, argv[0], argv[1]);
  return 0;
}

static int parse_luid(const char* text, long long* luid) {
  char* end = NULL;
  *luid = strtoll(text, &end, 10);
  return end && *end == '\0' && *luid > 0 ? 0 : -1;
}

static int cmd_edit(sqlite3* db, int argc, char** argv) {
  long long luid;
  if (argc != 3 || parse_luid(argv[0], &luid)) return usage_error("edit needs LUID TITLE URL");
  int found = 0;
  if (bookmarks_edit(db, luid, argv[1], argv[2], 1, NULL, &found)) return 1;
  if (!found) {
    fprintf(stderr, "no bookmark %lld\n", luid);
    return 1;
  }
  printf("edited %lld: %s <%s>\n", luid, argv[1], argv[2]);
  return 0;
}

static int cmd_remove(sqlite3* db, int argc, char** argv) {
  long long luid;
  if (argc != 1 || parse_luid(argv[0], &luid)) return usage_error("remove needs LUID");
  int found = 0;
  if (bookmarks_remove_local(db, luid, &found)) return 1;
  if (!found) {
    fprintf(stderr, "no bookmark %lld\n", luid);
    return 1;
  }
  printf("removed %lld\n", luid);
  return 0;
}

static int cmd_list(sqlite3* db) {
  Bookmark* list = NULL;
  int count = 0;
  if (bookmarks_all(db, &list, &count)) return 1;
  for (int i = 0; i < count; ++i) {
    printf("%5lld %c %s <%s>%s%s\n", list[i].luid, list[i].state ? '*' : ' ', list[i].title,
           list[i].url, list[i].guid[0] ? "  cloud:" : "", list[i].guid);
  }
  printf("%d bookmark%s (* = not uploaded yet)\n", count, count == 1 ? "" : "s");
  bookmarks_free(list, count);
  return 0;
}

int main(int argc, char** argv) {
  /* Progress lines and failure messages interleave in the order they happen. */
  setvbuf(stdout, NULL, _IOLBF, 0);
  /* Titles, URLs and the profile folder in any script, as UTF-8 from here on. */
  if (host_utf8_args(&argc, &argv)) return usage_error("cannot read the command line");
  HostOptions options;
  int first = 0;
  if (parse_options(argc, argv, &options, &first)) return 2;
  if (first >= argc) return usage_error("no command given");
  const char* command = argv[first];
  int rest = argc - first - 1;
  char** args = argv + first + 1;

  /* The library wants absolute directories for its store and logs. */
  char absolute[4096];
  host_mkdir(options.profile);
  if (host_absolute(options.profile, absolute, sizeof absolute) == 0) options.profile = absolute;
  char path[4096];
  snprintf(path, sizeof path, "%s" HOST_SEP "bookmarks.db", options.profile);
  sqlite3* db = bookmarks_open(path);
  if (!db) return 1;

  int status;
  if (strcmp(command, "add") == 0) {
    status = cmd_add(db, rest, args);
  } else if (strcmp(command, "edit") == 0) {
    status = cmd_edit(db, rest, args);
  } else if (strcmp(command, "remove") == 0) {
    status = cmd_remove(db, rest, args);
  } else if (strcmp(command, "list") == 0) {
    status = cmd_list(db);
  } else if (strcmp(command, "sync") == 0) {
    status = run_sync(db, &options);
  } else {
    status = usage_error("unknown command");
  }
  bookmarks_close(db);
  return status;
}
