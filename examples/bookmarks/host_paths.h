/* The sample host's paths are UTF-8 on every platform, as the library's are. On Windows
 * the command line is read as UTF-16 (its narrow argv is in the ANSI code page, which
 * holds few of the world's characters), and every file, folder and library is reached
 * through the wide calls, with the "\\?\" prefix for paths deeper than MAX_PATH. */
#ifndef QUILLET_EXAMPLES_HOST_PATHS_H_
#define QUILLET_EXAMPLES_HOST_PATHS_H_

#include <stddef.h>
#include <stdio.h>

/* Windows: replaces *argv with the UTF-8 form of the process's UTF-16 command line (kept
 * for the life of the process). Elsewhere argv is UTF-8 already and stays. 0 or -1. */
int host_utf8_args(int* argc, char*** argv);

FILE* host_fopen(const char* path, const char* mode);
/* One level; open to its owner only where there are modes. 0 on success. */
int host_mkdir(const char* path);
/* The absolute form of path in out; 0, or -1 when it cannot be made. */
int host_absolute(const char* path, char* out, size_t size);
void* host_load_library(const char* path);

/* The name and VFS that SQLite opens a file of any length by ("\\?\" and SQLite's
 * long-path VFS on Windows; the path itself and the default VFS elsewhere). */
const char* host_sqlite_name(const char* path, char* out, size_t size);
const char* host_sqlite_vfs(void);

#endif /* QUILLET_EXAMPLES_HOST_PATHS_H_ */
