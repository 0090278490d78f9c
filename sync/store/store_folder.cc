#include "sync/store/store_folder.h"

#include "sync/log/logger.h"
#include "sync/platform/platform.h"

namespace quillet {
namespace {

bool Refused(const std::string& path, platform::Trust trust) {
  LogError(u"DataBaseOperator::IntiDataBase() the store is not opened: ", Utf8ToWide(path), u" ",
           platform::TrustText(trust));
  return false;
}

}  // namespace

bool StoreFolderIsPrivate(const std::string& storeDir, const std::string& dbFile) {
  const char sep = static_cast<char>(platform::kPathSeparator);
  // A store made first by another user would hand the host their rows and take the user's.
  for (const std::string& folder : {storeDir.substr(0, storeDir.find_last_of(sep)), storeDir}) {
    const platform::Trust trust = platform::CheckPrivateFolder(folder);
    if (trust != platform::Trust::kOwn) return Refused(folder, trust);
  }
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string file = dbFile + suffix;
    const platform::Trust trust = platform::CheckOwnFile(file);
    if (trust != platform::Trust::kOwn && trust != platform::Trust::kMissing) {
      return Refused(file, trust);
    }
  }
  return true;
}

}  // namespace quillet
