/* Command-line and ini options of the sample host. */
#ifndef QUILLET_EXAMPLES_HOST_OPTIONS_H_
#define QUILLET_EXAMPLES_HOST_OPTIONS_H_

/* The separator of the paths the host builds inside its profile. */
#if defined(_WIN32)
#define HOST_SEP "\\"
#else
#define HOST_SEP "/"
#endif

/* The environment variable that may carry the access token instead of --token. */
#define TOKEN_VARIABLE "QUILLET_BOOKMARKS_TOKEN"

typedef struct HostOptions {
  const char* profile;
  char server[1024];
  char user[256];
  char token[1024];
  char app[256];
  char library[4096];
  int batch;
  int verbose;
} HostOptions;

/* Fills options from argv, then the token from TOKEN_VARIABLE, then DIR/host.ini for what
 * is still unset (host.ini is made the user's alone, 0600, when it is not). *first is the
 * index of the command. Returns 0, or prints a message and returns -1. */
int parse_options(int argc, char** argv, HostOptions* options, int* first);

/* Prints the usage with a reason; returns the exit status 2. */
int usage_error(const char* reason);

#endif /* QUILLET_EXAMPLES_HOST_OPTIONS_H_ */
