// The platform layer of the sync library: the few operating-system services the portable
// code needs. One implementation per platform (posix/, win32/), chosen by the build.
//
// "ANSI" is the system's narrow code page: CP_ACP on Windows, UTF-8 on POSIX. It is kept for
// what must keep its bytes (MD5 inputs, the "subSync" lines). Paths handed to these
// functions are UTF-8 on every platform, so that any character can be named; on Windows
// they reach the wide calls (WideSystemPath), with "/" as a separator and the "\\?\"
// prefix where a path passes MAX_PATH. All functions are thread-safe and report failure
// through their results; none throws.
#ifndef QUILLET_SYNC_PLATFORM_PLATFORM_H_
#define QUILLET_SYNC_PLATFORM_PLATFORM_H_

#include <cstdio>
#include <functional>
#include <string>

#include "sync/platform/text.h"

namespace quillet {
namespace platform {

// The path separator: '\\' on Windows, '/' on POSIX.
extern const char16_t kPathSeparator;

std::string WideToAnsi(const WString& wide);
WString AnsiToWide(const std::string& ansi);

// Full path of the executable of the hosting process; empty when it cannot be read.
WString ExecutablePath();

// The name the C run time's narrow calls (fopen, open) reach the file by, for a library
// that takes nothing else (log4cpp's configurator): POSIX the path itself; Windows its ANSI
// form when that names it exactly and fits MAX_PATH, else its short (8.3) form when that
// does; empty when neither exists (short names are off on that volume).
std::string CRuntimePath(const std::string& path);

// Reads a whole file of at most limit bytes; false when it cannot be read or is larger.
bool ReadWholeFile(const std::string& path, size_t limit, std::string* contents);

// open(2), rename(2) and remove(3) on UTF-8 names, for the log files the library's own
// appender opens and rolls over (flags and mode as open(2) takes them).
int OpenDescriptor(const std::string& path, int flags, int mode);
bool RenameFile(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);

// True when the path names an existing directory / an existing file of any kind.
bool DirectoryExists(const std::string& path);
bool PathExists(const std::string& path);

// Creates one directory level, open to its owner only where the platform has modes (0700
// on POSIX, whatever the umask). On failure returns false and sets *accessDenied when the
// system refused for lack of rights.
bool MakeDirectory(const std::string& path, bool* accessDenied);

// Closes an existing directory of the library's own to other users (0700 on POSIX) when an
// earlier release left it open; a directory of someone else's or a link is left as it is.
// A no-op that succeeds where the platform has no modes.
bool CloseToOthers(const std::string& path);

// How OpenOwnFile opens: an existing file for reading, or for writing at its end, or cut
// to nothing; the two writing ones create a missing file.
enum class OwnFileAccess { kRead, kAppend, kReplace };

// Opens a file of the library's own without following a symbolic link (or, on Windows, a
// reparse point) in its place: a link planted there fails the open instead of sending the
// library's bytes to its target. The open never blocks (a FIFO planted there fails it), and
// what it finds must be a regular file of the user's with a single name (CheckOwnFile);
// anything else fails the open. A file it creates, or finds open to others, is the
// owner's only (0600 on POSIX, whatever the umask). Binary streams; null on failure.
std::FILE* OpenOwnFile(const std::string& path, OwnFileAccess access);

// What a folder or file the library is about to use turned out to be. Only kOwn may be used.
enum class Trust {
  kOwn,           // the user's own: a folder nobody else can write to, or a plain file
  kMissing,       // nothing has that name
  kLink,          // a symbolic link or reparse point in its place
  kWrongKind,     // not a folder / not a regular file (a FIFO, a device, a socket)
  kOtherOwner,    // belongs to another user
  kOpenToOthers,  // another user may write to it, and it could not be closed
  kHardLinked,    // the file has another name as well (a hard link someone else may hold)
  kUnreadable,    // could not be examined
};

// Why a path of that kind is refused, for a log line: "belongs to another user".
const char16_t* TrustText(Trust trust);

// Whether a folder the library keeps its files in is the user's own private one: a
// directory (not a link to one), owned by the user, that no other user can write to. One
// of the user's own that others can write to (an earlier release, or an inherited access
// list) is closed to them first. In a folder others can write to, another user could plant
// or swap the files the library then opens by name (log4cpp's, SQLite's).
Trust CheckPrivateFolder(const std::string& path);

// Whether an existing file may be opened by name by a library that does its own open
// (SQLite): a regular file, the user's, with a single name. Looked at without following a
// link and without blocking on a FIFO.
Trust CheckOwnFile(const std::string& path);

// Writes contents as the file at path (as OpenOwnFile's kReplace does) and calls read
// with a name that reaches exactly these bytes, for a reader that takes a file name only
// (log4cpp's property configurator): no other process can change or swap what it reads.
// On POSIX an anonymous in-memory copy reached through /proc/self/fd (the file at path
// itself where there is no /proc); on Windows the file at path, held open with writing,
// renaming and deleting denied to everyone else while read runs, and named for read by its
// CRuntimePath. False when the file
// cannot be written; otherwise read's result.
bool ReadBackPinned(const std::string& path, const std::string& contents,
                    const std::function<bool(const std::string& name)>& read);

// Creates an empty file of the library's own, the owner's only, failing where anything
// (a link included) already has that name. *existed tells that case apart.
bool CreateOwnFile(const std::string& path, bool* existed);

// The open(2) flag that refuses a symbolic link in a file's place (O_NOFOLLOW), for files
// the C run time opens by name (log4cpp's); 0 where there is none.
extern const int kNoFollowOpenFlag;

// True when the path itself is a symbolic link or a reparse point.
bool IsLink(const std::string& path);

// Writes the stream's buffer and what the system holds of the file to the disk.
bool SyncFile(std::FILE* file);

// Makes the directory's entries durable (a file just created in it); succeeds without
// doing anything where the platform offers no such call.
bool SyncDirectory(const std::string& path);

// Marks a file or directory hidden where the platform has such an attribute; a no-op that
// succeeds elsewhere.
bool SetHidden(const std::string& path);

// True when the path is absolute: starts with the separator on POSIX; a drive ("C:\") or a
// "\\" prefix on Windows.
bool IsAbsolutePath(const std::string& path);

unsigned long ProcessId();

// Cuts an open file to size bytes (nothing of it may wait in the stream's buffer).
bool TruncateFile(std::FILE* file, long long size);

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_PLATFORM_H_
