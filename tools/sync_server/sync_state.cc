#include "tools/sync_server/sync_state.h"

namespace quillet::syncserver {
namespace {

constexpr int kSchemaVersion = 1;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS collections("
    " user TEXT NOT NULL, sync_type TEXT NOT NULL, name TEXT NOT NULL,"
    " tag_prefix TEXT NOT NULL, revision INTEGER NOT NULL,"
    " PRIMARY KEY(user, sync_type, name));"
    "CREATE TABLE IF NOT EXISTS records("
    " user TEXT NOT NULL, sync_type TEXT NOT NULL, collection TEXT NOT NULL,"
    " guid TEXT NOT NULL, etag TEXT NOT NULL, data BLOB NOT NULL, props TEXT NOT NULL,"
    " PRIMARY KEY(user, sync_type, collection, guid));";

// Owns one prepared statement.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  sqlite3_stmt* get() const { return stmt_; }
  // Texts are bound with their length, so embedded zero bytes survive.
  void Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void BindBlob(int index, const std::string& bytes) {
    sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
  std::string Column(int index) const {
    const void* p = sqlite3_column_blob(stmt_, index);
    int n = sqlite3_column_bytes(stmt_, index);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }
  // Runs a statement that returns no rows and resets it for the next use.
  bool Run() {
    int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return rc == SQLITE_DONE;
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_ERROR;
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

}  // namespace

std::unique_ptr<SyncState> SyncState::Open(const std::string& path, std::string* error) {
  std::unique_ptr<SyncState> state(new SyncState());
  if (!path.empty() && !state->OpenDatabase(path, error)) return nullptr;
  return state;
}

SyncState::~SyncState() {
  if (db_) sqlite3_close(db_);
}

bool SyncState::OpenDatabase(const std::string& path, std::string* error) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *error = "cannot open data file " + path + ": " +
             (db_ ? sqlite3_errmsg(db_) : std::string("out of memory"));
    return false;
  }
  // Exclusive locking: a second server on the same file fails here instead of both
  // serving diverging copies of the data.
  // A larger cache and rarer checkpoints: syncing the file on every few batches would
  // dominate a large upload.
  std::string why;
  if (!Exec(db_, "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=WAL;", &why) ||
      !Exec(db_,
            "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536; PRAGMA wal_autocheckpoint=8192; "
            "BEGIN IMMEDIATE;",
            &why)) {
    *error =
        "cannot use data file " + path + " (in use by another server, or not a database): " + why;
    return false;
  }
  int version = -1;
  {
    Statement read(db_, "PRAGMA user_version;");
    if (read.ok() && sqlite3_step(read.get()) == SQLITE_ROW) {
      version = sqlite3_column_int(read.get(), 0);
    }
  }
  if (version != 0 && version != kSchemaVersion) {
    Exec(db_, "ROLLBACK;", &why);
    *error = "data file " + path + " has unknown schema version " + std::to_string(version);
    return false;
  }
  std::string set_version = "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
  if (!Exec(db_, kSchema, &why) || !Exec(db_, set_version.c_str(), &why) ||
      !Exec(db_, "COMMIT;", &why)) {
    Exec(db_, "ROLLBACK;", &why);
    *error = "cannot prepare data file " + path + ": " + why;
    return false;
  }
  if (!Load(&why)) {
    *error = "cannot read data file " + path + ": " + why;
    return false;
  }
  return true;
}

bool SyncState::Load(std::string* error) {
  Statement collections(db_, "SELECT user, sync_type, name, tag_prefix, revision FROM collections");
  if (!collections.ok()) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(collections.get())) == SQLITE_ROW) {
    Collection& c = spaces_[{collections.Column(0), collections.Column(1)}][collections.Column(2)];
    c.tag_prefix = collections.Column(3);
    c.revision = sqlite3_column_int64(collections.get(), 4);
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  Statement records(db_,
                    "SELECT user, sync_type, collection, guid, etag, data, props FROM records");
  if (!records.ok()) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  while ((rc = sqlite3_step(records.get())) == SQLITE_ROW) {
    SpaceKey space{records.Column(0), records.Column(1)};
    auto sit = spaces_.find(space);
    std::string name = records.Column(2);
    if (sit == spaces_.end() || !sit->second.count(name)) {
      *error = "record " + records.Column(3) + " belongs to no collection";
      return false;
    }
    sit->second[name].records[records.Column(3)] =
        Record{records.Column(4), records.Column(5), records.Column(6)};
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

const Collection* SyncState::Find(const SpaceKey& space, const std::string& name) const {
  auto sit = spaces_.find(space);
  if (sit == spaces_.end()) return nullptr;
  auto cit = sit->second.find(name);
  return cit == sit->second.end() ? nullptr : &cit->second;
}

std::vector<std::pair<std::string, const Collection*>> SyncState::Collections(
    const SpaceKey& space) const {
  std::vector<std::pair<std::string, const Collection*>> out;
  auto sit = spaces_.find(space);
  if (sit == spaces_.end()) return out;
  out.reserve(sit->second.size());
  for (const auto& [name, collection] : sit->second) out.emplace_back(name, &collection);
  return out;
}

bool SyncState::Apply(const SpaceKey& space, const std::string& name,
                      const std::vector<Change>& changes, std::vector<std::string>* etags,
                      std::string* error) {
  const Collection* existing = Find(space, name);
  std::string prefix = existing ? existing->tag_prefix : RandomHex(8);
  int64_t revision = existing ? existing->revision : 0;
  std::vector<std::string> new_etags;
  new_etags.reserve(changes.size());
  for (const Change& change : changes) {
    ++revision;
    new_etags.push_back(change.kind == Change::Kind::kPut ? prefix + "-" + std::to_string(revision)
                                                          : std::string());
  }
  if (db_ && !Persist(space, name, prefix, revision, changes, new_etags, error)) return false;

  Collection& c = spaces_[space][name];
  c.tag_prefix = prefix;
  c.revision = revision;
  for (size_t i = 0; i < changes.size(); ++i) {
    const Change& change = changes[i];
    if (change.kind == Change::Kind::kPut) {
      c.records[change.guid] = Record{new_etags[i], change.data, change.props};
    } else {
      c.records.erase(change.guid);
    }
  }
  if (etags) *etags = std::move(new_etags);
  return true;
}

bool SyncState::Persist(const SpaceKey& space, const std::string& name,
                        const std::string& tag_prefix, int64_t revision,
                        const std::vector<Change>& changes, const std::vector<std::string>& etags,
                        std::string* error) {
  std::string why;
  if (!Exec(db_, "BEGIN IMMEDIATE;", &why)) {
    *error = "data file: " + why;
    return false;
  }
  auto fail = [&]() {
    *error = std::string("data file: ") + sqlite3_errmsg(db_);
    std::string ignored;
    Exec(db_, "ROLLBACK;", &ignored);
    return false;
  };
  {
    Statement upsert(db_,
                     "INSERT OR REPLACE INTO collections(user, sync_type, name, tag_prefix, "
                     "revision) VALUES(?1, ?2, ?3, ?4, ?5)");
    if (!upsert.ok()) return fail();
    upsert.Bind(1, space.first);
    upsert.Bind(2, space.second);
    upsert.Bind(3, name);
    upsert.Bind(4, tag_prefix);
    sqlite3_bind_int64(upsert.get(), 5, revision);
    if (!upsert.Run()) return fail();

    Statement put(db_,
                  "INSERT OR REPLACE INTO records(user, sync_type, collection, guid, etag, data, "
                  "props) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    Statement remove(db_,
                     "DELETE FROM records WHERE user = ?1 AND sync_type = ?2 AND collection = ?3 "
                     "AND guid = ?4");
    if (!put.ok() || !remove.ok()) return fail();
    for (size_t i = 0; i < changes.size(); ++i) {
      const Change& change = changes[i];
      Statement& s = change.kind == Change::Kind::kPut ? put : remove;
      s.Bind(1, space.first);
      s.Bind(2, space.second);
      s.Bind(3, name);
      s.Bind(4, change.guid);
      if (change.kind == Change::Kind::kPut) {
        s.Bind(5, etags[i]);
        s.BindBlob(6, change.data);
        s.Bind(7, change.props);
      }
      if (!s.Run()) return fail();
    }
  }
  if (!Exec(db_, "COMMIT;", &why)) return fail();
  return true;
}

std::string SyncState::NewId() { return RandomHex(32); }

std::string SyncState::RandomHex(int digits) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(static_cast<size_t>(digits));
  while (static_cast<int>(out.size()) < digits) {
    uint64_t bits = random_();
    for (int i = 0; i < 16 && static_cast<int>(out.size()) < digits; ++i, bits >>= 4) {
      out.push_back(kHex[bits & 0xf]);
    }
  }
  return out;
}

}  // namespace quillet::syncserver
