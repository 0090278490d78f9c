// The checks made before the store is opened in a folder the host chose: SQLite opens the
// database and its -wal, -shm and -journal files by name, so the folders they lie in must
// be ones no other user can write to, and whatever already has those names must be the
// user's own plain files.
#ifndef QUILLET_SYNC_STORE_STORE_FOLDER_H_
#define QUILLET_SYNC_STORE_STORE_FOLDER_H_

#include <string>

namespace quillet {

// storeDir: DbPath's "Quillet" folder and the user's folder in it (UTF-8, the latter given);
// dbFile: the database in it. An open folder of the user's own is closed to others. False,
// with an error line that names the path and what is wrong with it, when one of them is
// another user's, a link, open to others, or of the wrong kind (a FIFO in the database's
// place), or a file there has a second name.
bool StoreFolderIsPrivate(const std::string& storeDir, const std::string& dbFile);

}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_STORE_FOLDER_H_
