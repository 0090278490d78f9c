#include "host_options.h"

#include "host_paths.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

int usage_error(const char* reason) {
  fprintf(stderr,
          "quillet-bookmarks: %s\n"
          "usage: quillet-bookmarks --profile DIR [--server URL] [--user ID] [--token AT]\n"
          "         [--app ID] [--batch N] [--library PATH] [--verbose] COMMAND\n"
          "commands: add TITLE URL | edit LUID TITLE URL | remove LUID | list | sync\n"
          "the token may also come from the environment variable " TOKEN_VARIABLE
          " or DIR/host.ini\n",
          reason);
  return 2;
}

static void set(char* field, size_t size, const char* value) { snprintf(field, size, "%s", value); }

/* host.ini may hold the token: a file other users can read gives it away, so it is kept
 * the user's alone (0600), as ssh keeps its keys. */
static void keep_private(FILE* f) {
#if defined(_WIN32)
  (void)f;
#else
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 077) != 0) {
    if (fchmod(fileno(f), st.st_mode & 0600) == 0) {
      fprintf(stderr, "quillet-bookmarks: host.ini was readable by others; now 0600\n");
    }
  }
#endif
}

static void read_ini(HostOptions* o, int batchSet) {
  char path[4096];
  snprintf(path, sizeof path, "%s" HOST_SEP "host.ini", o->profile);
  FILE* f = host_fopen(path, "r");
  if (!f) return;
  keep_private(f);
  char line[2048];
  while (fgets(line, sizeof line, f)) {
    line[strcspn(line, "\r\n")] = '\0';
    char* eq = strchr(line, '=');
    if (!eq || line[0] == '#') continue;
    *eq = '\0';
    const char* key = line;
    const char* value = eq + 1;
    if (strcmp(key, "server") == 0 && !o->server[0]) set(o->server, sizeof o->server, value);
    if (strcmp(key, "user") == 0 && !o->user[0]) set(o->user, sizeof o->user, value);
    if (strcmp(key, "token") == 0 && !o->token[0]) set(o->token, sizeof o->token, value);
    if (strcmp(key, "app") == 0 && !o->app[0]) set(o->app, sizeof o->app, value);
    if (strcmp(key, "library") == 0 && !o->library[0]) set(o->library, sizeof o->library, value);
    if (strcmp(key, "batch") == 0 && !batchSet) o->batch = atoi(value);
  }
  fclose(f);
}

int parse_options(int argc, char** argv, HostOptions* o, int* first) {
  memset(o, 0, sizeof *o);
  o->batch = 100;
  int batchSet = 0;
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    const char* name = argv[i] + 2;
    if (strcmp(name, "verbose") == 0) {
      o->verbose = 1;
      continue;
    }
    if (i + 1 >= argc) return usage_error("an option lacks its value"), -1;
    const char* value = argv[++i];
    if (strcmp(name, "profile") == 0)
      o->profile = value;
    else if (strcmp(name, "server") == 0)
      set(o->server, sizeof o->server, value);
    else if (strcmp(name, "user") == 0)
      set(o->user, sizeof o->user, value);
    else if (strcmp(name, "token") == 0)
      set(o->token, sizeof o->token, value);
    else if (strcmp(name, "app") == 0)
      set(o->app, sizeof o->app, value);
    else if (strcmp(name, "library") == 0)
      set(o->library, sizeof o->library, value);
    else if (strcmp(name, "batch") == 0)
      o->batch = atoi(value), batchSet = 1;
    else
      return usage_error("unknown option"), -1;
  }
  if (!o->profile) return usage_error("--profile is required"), -1;
  /* A command line is visible to every user of the machine (ps, /proc): the token is
   * better taken from the environment. */
  const char* token = getenv(TOKEN_VARIABLE);
  if (!o->token[0] && token && token[0]) set(o->token, sizeof o->token, token);
  read_ini(o, batchSet);
  if (!o->app[0]) set(o->app, sizeof o->app, "quillet-bookmarks");
  *first = i;
  return 0;
}
