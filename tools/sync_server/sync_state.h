// The sync server's data: per user and sync type a set of collections, each holding records
// by guid and a revision from which its ctag and the records' etags are made.
//
// Everything lives in memory; when a data file is given every change is also written to
// SQLite in one transaction before memory is touched, so a failed write changes nothing.
// Not thread-safe: the service serialises all access.
#ifndef QUILLET_TOOLS_SYNC_SERVER_SYNC_STATE_H_
#define QUILLET_TOOLS_SYNC_SERVER_SYNC_STATE_H_

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace quillet::syncserver {

struct Record {
  std::string etag;
  std::string data;
  // Compact JSON text of the record's props object; empty when it has none.
  std::string props;
};

struct Collection {
  // Random per collection, so a collection made anew (another data file, an in-memory
  // server restarted) never repeats a ctag or etag that a client may still hold.
  std::string tag_prefix;
  int64_t revision = 0;
  std::map<std::string, Record> records;

  std::string Ctag() const { return tag_prefix + "-" + std::to_string(revision); }
};

// (user id, sync type): the unit that a lock covers.
using SpaceKey = std::pair<std::string, std::string>;

struct Change {
  enum class Kind { kPut, kRemove };
  Kind kind = Kind::kPut;
  std::string guid;
  std::string data;   // kPut only
  std::string props;  // kPut only
};

class SyncState {
 public:
  // An empty path keeps everything in memory. On failure returns null and sets *error.
  static std::unique_ptr<SyncState> Open(const std::string& path, std::string* error);
  ~SyncState();
  SyncState(const SyncState&) = delete;
  SyncState& operator=(const SyncState&) = delete;

  // Null when the collection does not exist.
  const Collection* Find(const SpaceKey& space, const std::string& name) const;
  // Every collection of the space, ascending by name.
  std::vector<std::pair<std::string, const Collection*>> Collections(const SpaceKey& space) const;

  // Applies the changes in order as one unit, creating the collection when missing. Each
  // change gets its own revision; etags receives the etag of every kPut (empty for kRemove).
  // A removal of an absent guid is a no-op. On a storage failure nothing changes, false is
  // returned and *error is set.
  bool Apply(const SpaceKey& space, const std::string& name, const std::vector<Change>& changes,
             std::vector<std::string>* etags, std::string* error);

  // 32 random hexadecimal digits.
  std::string NewId();

 private:
  SyncState() = default;
  bool OpenDatabase(const std::string& path, std::string* error);
  bool Load(std::string* error);
  bool Persist(const SpaceKey& space, const std::string& name, const std::string& tag_prefix,
               int64_t revision, const std::vector<Change>& changes,
               const std::vector<std::string>& etags, std::string* error);
  std::string RandomHex(int digits);

  sqlite3* db_ = nullptr;
  std::map<SpaceKey, std::map<std::string, Collection>> spaces_;
  std::mt19937_64 random_{std::random_device{}()};
};

}  // namespace quillet::syncserver

#endif  // QUILLET_TOOLS_SYNC_SERVER_SYNC_STATE_H_
