#include "sync/store/database_operator.h"

#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "sync/log/logger.h"
#include "sync/log/md5.h"
#include "sync/platform/path_form.h"
#include "sync/platform/platform.h"
#include "sync/store/store_folder.h"
#include "sync/store/write_failure.h"

namespace quillet {
namespace {

// SQLITE_OPEN_NOMUTEX with READWRITE, READWRITE | CREATE: every connection is
// private to one call, so SQLite's own connection mutex is not needed. SQLITE_OPEN_NOFOLLOW:
// a link planted in the store's place is refused rather than written through.
// Reads open read-write as well: a connection in exclusive locking mode (kExclusiveLocking)
// takes the write lock even to read, which a read-only one cannot.
constexpr int kOpenForReading = 0x8002 | SQLITE_OPEN_NOFOLLOW;
constexpr int kOpenReadWrite = 0x8002 | SQLITE_OPEN_NOFOLLOW;
constexpr int kOpenCreate = 0x8006 | SQLITE_OPEN_NOFOLLOW;

const char kCtagTable[] =
    "CREATE TABLE IF NOT EXISTS ctag(ctag_name      VARCHAR(256) PRIMARY KEY NOT NULL,"
    "ctag_value     VARCHAR(256) NOT NULL,sync_token     VARCHAR(256));";
const char kEtagTable[] =
    "CREATE TABLE IF NOT EXISTS etag(luid           VARCHAR(256) NOT NULL,"
    "type           VARCHAR(256) NOT NULL,etag           VARCHAR(256) NOT NULL,"
    "uuid           VARCHAR(256) ,guid           VARCHAR(256) NOT NULL,"
    "hash           VARCHAR(256),recycle_status INTEGER,PRIMARY KEY(luid,type));";
const char kEtagTempTable[] =
    "CREATE TABLE IF NOT EXISTS etag_temp(luid           VARCHAR(256) NOT NULL,"
    "type           VARCHAR(256) NOT NULL,etag           VARCHAR(256) NOT NULL,"
    "uuid           VARCHAR(256) ,guid           VARCHAR(256) NOT NULL,"
    "hash           VARCHAR(256),recycle_status INTEGER,PRIMARY KEY(luid,type));";
// Updates and deletes by guid (the upload side) would otherwise scan the table per row.
// DROP TABLE drops it with the table, so the upgrade creates it again.
const char kGuidIndex[] = "CREATE INDEX IF NOT EXISTS etag_guid_index ON etag(guid);";

const char kInsertCtag[] = "INSERT INTO ctag(ctag_name,ctag_value,sync_token) VALUES(?,?,?)";
const char kInsertEtag[] =
    "INSERT INTO etag(luid,type,etag,uuid,guid,hash,recycle_status) VALUES(?,?,?,?,?,?,?)";

// The columns of etag: the only names an EtagUpdate may use, so that a column name can
// never carry statement text.
const char16_t* const kEtagColumns[] = {u"luid", u"type", u"etag",          u"uuid",
                                        u"guid", u"hash", u"recycle_status"};

// The connection's message, or "sqliteError" when SQLite has none (no handle, or a failure
// found by this code rather than by SQLite). Every failure passes here, so it also notes
// the failure's cause for the sync's error line and report.
WString Reason(sqlite3* db) {
  if (db == nullptr || sqlite3_errcode(db) == SQLITE_OK) {
    NoteWriteFailure(WString());
    return u"sqliteError";
  }
  // A file SQLite could open for reading only (a read-only mount) fails its first write as
  // an I/O error of the locking mode; its read-only state is the cause a user can act on.
  const int code = sqlite3_extended_errcode(db);
  const bool readOnly = (code & 0xff) == SQLITE_IOERR && sqlite3_db_readonly(db, "main") == 1;
  NoteWriteFailure(readOnly ? WString(u"read-only")
                            : CauseOfSqlite(code, sqlite3_system_errno(db)));
  const char* message = sqlite3_errmsg(db);
  return message != nullptr ? Utf8ToWide(message) : WString(u"sqliteError");
}

WString CodeAndReason(int code, const WString& reason) {
  return ToWide(code) + u",reason:" + reason;
}

// The WAL index lives in heap memory instead of a shared mapping of "Quillet.dat-shm": a page
// of that mapping the file system cannot allocate (a nearly full disk, blocks smaller than
// memory pages) kills the whole host with SIGBUS on the first write into it. The price: a
// connection holds the file to itself from its first statement to its close, so other
// connections (threads or processes) wait for it through the busy handler; every
// operation opens and closes its own, so none waits for long. Must run before the first
// statement that reads the file.
const char kExclusiveLocking[] = "PRAGMA locking_mode=EXCLUSIVE;";

// Every call sleeps; SQLite counts the calls of one busy wait from 0, so the statement gives
// up with SQLITE_BUSY after 21 sleeps (10.5 s on average). Each sleep is 250-750 ms, drawn
// afresh: two programs that collide on the file and both back off for the same time would
// collide again on every retry and both give up. Nothing is kept per thread: a
// thread_local of a library the host unloads outlives it in the leak checker's books.
unsigned JitterMs() {
  try {
    return std::random_device{}() % 501;
  } catch (...) {  // no entropy source: the clock's low bits still differ between programs
    return static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() %
                                 501);
  }
}

int BusyRetryHandler(void* /*unused*/, int count) {
  std::this_thread::sleep_for(std::chrono::milliseconds(250 + JitterMs()));
  return count < 20 ? 1 : 0;
}

// A value between single quotes: each quote doubled, so no value can end the literal. A
// literal cannot hold U+0000, which SQLite reads as the end of the text; it is spliced in
// as char(0), so a stored id holding one can still be matched.
WString Quoted(const WString& value) {
  WString out;
  out.reserve(value.size() + 2);
  for (char16_t c : value) {
    if (c == u'\0') {
      out += u"' || char(0) || '";
      continue;
    }
    out.push_back(c);
    if (c == u'\'') out.push_back(u'\'');
  }
  return out;
}

bool HasLoneSurrogate(const WString& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return true;
  }
  return false;
}

// SQLite's UTF-16 reader pairs a lone high surrogate with whatever unit follows, which
// swallows a character; U+FFFD instead, as the conversion of statement texts does, keeps a
// bound value and the same value in a concatenated statement equal.
int BindText(sqlite3_stmt* stmt, int index, const WString& value) {
  WString replaced;
  const WString* text = &value;
  if (HasLoneSurrogate(value)) {
    replaced = Utf8ToWide(WideToUtf8(value));
    text = &replaced;
  }
  if (text->size() > static_cast<size_t>(INT_MAX / 2)) return SQLITE_TOOBIG;
  return sqlite3_bind_text16(stmt, index, text->data(),
                             static_cast<int>(text->size() * sizeof(char16_t)), SQLITE_TRANSIENT);
}

// Read as the UTF-8 the store holds and widened here: SQLite's own UTF-16 reading converts
// into a buffer of its own first, which costs twice as much on a read of every row.
// More rows than a store of this kind holds: a count beyond it is not believed.
constexpr sqlite3_int64 kMaxReservedRows = 10 * 1000 * 1000;

// Binds texts as UTF-8 from buffers of its own that are reused row after row, so a batch
// insert costs neither an allocation per value nor SQLite's conversion from UTF-16 at every
// step. Lone surrogates become U+FFFD, as BindText makes them. Must outlive every step of
// the statement it binds.
class Utf8Binder {
 public:
  int Bind(sqlite3_stmt* stmt, int index, const WString& value) {
    std::string& buffer = buffers_[static_cast<size_t>(index) % kColumns];
    buffer.clear();
    AppendWideAsUtf8(value.data(), value.size(), &buffer);
    if (buffer.size() > static_cast<size_t>(INT_MAX)) return SQLITE_TOOBIG;
    return sqlite3_bind_text(stmt, index, buffer.data(), static_cast<int>(buffer.size()),
                             SQLITE_STATIC);
  }

 private:
  static constexpr size_t kColumns = 8;
  std::string buffers_[kColumns];
};

WString ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return WString();  // NULL, from a store written by other software
  const int bytes = sqlite3_column_bytes(stmt, column);
  return Utf8ToWide(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

bool IsDuplicate(int code, sqlite3* db) {
  return (code & 0xff) == SQLITE_CONSTRAINT && std::strstr(sqlite3_errmsg(db), "UNIQUE");
}

// Owns one statement; finalized when it goes out of scope.
class Statement {
 public:
  Statement() = default;
  ~Statement() { Finalize(); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Prepares exactly one statement from the whole text. A text that is not consumed whole
  // (an embedded NUL, a second statement) fails, so nothing runs that was not meant to.
  int Prepare(sqlite3* db, const std::string& sql) {
    Finalize();
    if (sql.size() >= static_cast<size_t>(INT_MAX)) return SQLITE_TOOBIG;
    const char* tail = nullptr;
    int code = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, &tail);
    if (code == SQLITE_OK && (stmt_ == nullptr || tail != sql.data() + sql.size())) {
      code = SQLITE_ERROR;
    }
    return code;
  }
  void Finalize() {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Runs one statement to its end. SQLITE_OK or the failing code; *reason gets the message.
int Run(sqlite3* db, const std::string& sql, WString* reason) {
  Statement stmt;
  int code = stmt.Prepare(db, sql);
  if (code == SQLITE_OK) {
    while ((code = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    if (code == SQLITE_DONE) code = SQLITE_OK;
  }
  if (code != SQLITE_OK && reason != nullptr) *reason = Reason(db);
  return code;
}

int Run(sqlite3* db, const WString& sql, WString* reason) {
  return Run(db, WideToUtf8(sql), reason);
}

// A statement that reads the file: in WAL mode with exclusive locking, its first read
// takes the file for the connection's life.
const char kTakeFile[] = "SELECT count(*) FROM sqlite_master;";

// Opens a connection in exclusive locking mode and takes the file at once. One that finds
// the file held closes before it waits (500 ms, up to 20 times, as the busy handler
// would): exclusive mode keeps every lock it got, so a connection waiting with its read
// lock would keep the holder from its next lock, and two such would wait for each other
// until both gave up. SQLITE_OK with *db open; other failures of the read are left to the
// operation's own statements, which report them. On failure *db may hold the handle whose
// message tells why, or be null (SQLITE_BUSY: the file stayed held).
int OpenExclusive(const std::string& utf8Path, int flags, sqlite3** db) {
  // SQLite's Windows VFS hands the UTF-8 name to CreateFileW itself; past MAX_PATH it takes
  // the "\\?\" form, and its default VFS cuts names at about MAX_PATH bytes: longer ones
  // go through its long-path VFS. Shorter ones keep the default, which may be the host's.
  const bool windows = platform::kNativeStyle == platform::PathStyle::kWindows;
  const std::string name =
      windows ? WideToUtf8(platform::LongPathForm(platform::NormalisePath(Utf8ToWide(utf8Path))))
              : utf8Path;
  const char* vfs = windows && name.size() >= 260 ? "win32-longpath" : nullptr;
  for (int attempt = 0;; ++attempt) {
    *db = nullptr;
    int code = sqlite3_open_v2(name.c_str(), db, flags, vfs);
    if (code == SQLITE_OK) code = Run(*db, std::string(kExclusiveLocking), nullptr);
    if (code != SQLITE_OK) return code;
    code = Run(*db, std::string(kTakeFile), nullptr);
    if ((code & 0xff) != SQLITE_BUSY) return SQLITE_OK;
    sqlite3_close_v2(*db);
    *db = nullptr;
    if (BusyRetryHandler(nullptr, attempt) == 0) return code;
  }
}

// One private connection: OpenDb and CloseDb. Closed at the latest when it goes out of scope.
class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Open(const std::string& utf8Path, bool readOnly) {
    if (utf8Path.empty()) {  // no IntiDataBase yet: never let SQLite open a temporary file
      LogError(u"Open database failed,error code is ",
               CodeAndReason(SQLITE_CANTOPEN, u"sqliteError"));
      return false;
    }
    bool ok = true;
    int code = OpenExclusive(utf8Path, readOnly ? kOpenForReading : kOpenReadWrite, &db_);
    if (code != SQLITE_OK) {
      LogError(u"Open database failed,error code is ",
               CodeAndReason(code, db_ != nullptr ? Reason(db_) : WString(u"database is locked")));
      ok = false;
    }
    if (db_ == nullptr) return false;
    // Statements still wait for a lock another connection holds (a rollback-journal file of
    // other software); in WAL mode this connection holds the file from OpenExclusive on.
    code = sqlite3_busy_handler(db_, BusyRetryHandler, nullptr);
    if (code != SQLITE_OK) {
      LogError(u"Set busy handler error,error code is ", CodeAndReason(code, Reason(db_)));
      ok = false;
    }
    return ok;
  }

  bool Close() {
    if (db_ == nullptr) return true;
    const int code = sqlite3_close_v2(db_);
    db_ = nullptr;
    if (code != SQLITE_OK) {
      LogError(u"Close database failed,error code is ", ToWide(code));
      return false;
    }
    return true;
  }

  sqlite3* db() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

bool BeginTransaction(sqlite3* db) {
  WString reason;
  const int code = Run(db, std::string("begin transaction;"), &reason);
  if (code == SQLITE_OK) return true;
  LogError(u"Begin transaction failed,error code is ", CodeAndReason(code, reason));
  return false;
}

bool CommitTransaction(sqlite3* db) {
  WString reason;
  const int code = Run(db, std::string("commit transaction;"), &reason);
  if (code == SQLITE_OK) return true;
  LogError(u"Commit transaction failed,error code is ", CodeAndReason(code, reason));
  return false;
}

void RollbackTransaction(sqlite3* db) {
  // Fails harmlessly when SQLite has already rolled the transaction back itself.
  Run(db, std::string("rollback transaction;"), nullptr);
}

void CreateGuidIndex(sqlite3* db) {
  WString reason;
  const int code = Run(db, std::string(kGuidIndex), &reason);
  if (code != SQLITE_OK) {
    LogError(u"Create index on etag(guid) failed,error code is ", CodeAndReason(code, reason));
  }
}

bool IsEtagColumn(const WString& name) {
  for (const char16_t* column : kEtagColumns) {
    if (name == column) return true;
  }
  return false;
}

WString BuildWhereClause(const EtagUpdate& update) {
  WString clause;
  for (const auto& field : update.whereFields) {
    if (!clause.empty()) clause += u"' AND ";
    clause += field.first + u"= '" + Quoted(field.second);
  }
  if (!update.whereFields.empty()) clause += u"' ";
  return clause;
}

WString BuildSetClause(const EtagUpdate& update) {
  WString clause;
  for (const auto& field : update.setFields) {
    if (!clause.empty()) clause += u"', ";
    clause += field.first + u"='" + Quoted(field.second);
  }
  if (!update.setFields.empty()) clause += u"' ";
  return clause;
}

// "Cannot be opened for reading": a missing file, not yet SQLite.
bool FileReadable(const std::string& path) {
  std::FILE* file = platform::OpenOwnFile(path, platform::OwnFileAccess::kRead);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

std::string BuildStoreDirectory(const WString& userId, const WString& dataDir) {
  const std::string sep(1, static_cast<char>(platform::kPathSeparator));
  // The user id's ANSI bytes, as ever: the folder of an existing user keeps its name.
  const std::string digest = Md5Hex(platform::WideToAnsi(userId));
  if (digest.empty()) return std::string();  // never one directory shared by every user
  std::string dir = WideToUtf8(platform::NormalisePath(dataDir));
  if (!dir.empty() && dir.back() != sep[0]) dir += sep;
  return dir + "Quillet" + sep + digest;
}

bool createDir(const std::string& path) {
  const char sep = static_cast<char>(platform::kPathSeparator);
  // The walk starts below the root ("/", "C:\", "\\server\share\", "\\?\C:\"), which
  // exists or nothing can be made. POSIX takes absolute paths only (a relative one would
  // land wherever the host runs).
  const size_t root = platform::RootLength(path);
  std::string prefix;
  std::string rest;
  if (root > 0) {
    prefix = path.substr(0, root);
    if (prefix.back() == sep) prefix.pop_back();
    rest = path.substr(root);
  } else if (sep == '/' || path.size() < 3) {
    return false;
  } else {
    prefix = path.substr(0, 2);
    rest = path.substr(3);
  }
  while (true) {
    const size_t cut = rest.find(sep);
    const std::string component = rest.substr(0, cut);
    if (!component.empty()) {
      prefix += sep;
      prefix += component;
      if (!platform::PathExists(prefix)) {
        bool accessDenied = false;
        if (!platform::MakeDirectory(prefix, &accessDenied)) {
          // Another process may have made it in between; that is no failure.
          if (!platform::DirectoryExists(prefix)) {
            if (accessDenied) LogError(u"createDir() failed; access denied !");
            return false;
          }
        } else if (prefix.find("Quillet") != std::string::npos) {
          platform::SetHidden(prefix);
        }
      }
    }
    if (cut == std::string::npos) return true;
    rest.erase(0, cut + 1);
  }
}

WString BuildEtagUpdateStatement(const EtagUpdate& update) {
  return u"UPDATE etag SET " + BuildSetClause(update) + u" WHERE " + BuildWhereClause(update);
}

DataBaseOperator& DataBaseOperator::GetInstance() {
  static DataBaseOperator instance;
  return instance;
}

WString DataBaseOperator::DbPath() const {
  std::lock_guard<std::mutex> lock(pathMutex_);
  return dbPath_;
}

std::string DataBaseOperator::Utf8DbPath() const { return WideToUtf8(DbPath()); }

bool DataBaseOperator::IntiDataBase(const WString& userId, const WString& dataDir) {
  if (dataDir.empty()) {
    LogError(u"The path of db is empty");
    return false;
  }
  // A line break or other control character in a path is no directory a host meant, and
  // would reach the logs and the file system as it stands.
  for (const char16_t c : dataDir) {
    if (c < 0x20 || c == 0x7F) {
      LogError(u"The path of db holds a control character");
      return false;
    }
  }
  const std::string storeDir = BuildStoreDirectory(userId, dataDir);
  if (storeDir.empty()) {
    LogError(u"DataBaseOperator::IntiDataBase() MD5 of the user id failed, no store directory");
    return false;
  }
  const WString path = Utf8ToWide(storeDir) + platform::kPathSeparator + u"Quillet.dat";
  {
    std::lock_guard<std::mutex> lock(pathMutex_);
    dbPath_ = path;
  }
  const std::string utf8Path = WideToUtf8(path);

  if (!platform::DirectoryExists(storeDir) && !createDir(storeDir)) {
    LogError(u"DataBaseOperator::IntiDataBase() createDir failed.");
    return false;
  }
  // Folders an earlier release made open to others are closed: they hold the user's ids.
  // SQLite's own check for links works on POSIX only.
  if (platform::IsLink(utf8Path)) {
    LogError(u"DataBaseOperator::IntiDataBase() the database file is a link, not opened");
    return false;
  }
  if (!StoreFolderIsPrivate(storeDir, utf8Path)) return false;
  if (!FileReadable(utf8Path) && !CreateDb(utf8Path)) {
    LogError(u"DataBaseOperator::IntiDataBase() CreateDb failed");
    return false;
  }
  if (!CreateTables(utf8Path)) {
    LogError(u"DataBaseOperator::IntiDataBase() CreateTables failed");
    return false;
  }
  // A failed upgrade leaves the earlier layout in place, which still works for one type.
  if (IsEtagTableOutdated(utf8Path)) UpgradeEtagTable(utf8Path);
  return true;
}

bool DataBaseOperator::CreateDb(const std::string& utf8Path) {
  // The file is made here, the user's alone, without touching the process umask (other
  // threads of the host share it); SQLite then gives its -wal file the same mode.
  // A file another creator made first is simply opened.
  platform::CreateOwnFile(utf8Path, nullptr);
  // WAL is recorded in the file, so every later connection uses it. Another program of the
  // same user may be creating this store right now, and the switch needs the file to
  // itself: a creator that finds it held closes, waits like every other statement and
  // tries again, by then finding the file in WAL mode. It never waits with a lock kept,
  // or both creators would wait for each other.
  sqlite3* db = nullptr;
  int code = SQLITE_OK;
  WString reason;
  bool opened = false;
  for (int attempt = 0;; ++attempt) {
    code = OpenExclusive(utf8Path, kOpenCreate, &db);
    opened = code == SQLITE_OK;
    if (opened) code = Run(db, std::string("PRAGMA journal_mode=WAL;"), &reason);
    if ((code & 0xff) != SQLITE_BUSY) break;
    sqlite3_close(db);
    db = nullptr;
    if (BusyRetryHandler(nullptr, attempt) == 0) break;
  }
  if (!opened && (code & 0xff) != SQLITE_BUSY) {
    LogError(u"DataBaseOperator::CreateDb() Create database failed,error code is ", ToWide(code));
    sqlite3_close(db);
    return false;
  }
  bool ok = true;
  if (code != SQLITE_OK) {
    LogError(u"Set WAL failed,error code is ",
             CodeAndReason(code, db != nullptr ? reason : WString(u"database is locked")));
    ok = false;
  }
  sqlite3_close(db);
  return ok;
}

bool DataBaseOperator::CreateTables(const std::string& utf8Path) {
  Connection connection;
  if (!connection.Open(utf8Path, false)) return false;
  const bool ctagOk = Run(connection.db(), std::string(kCtagTable), nullptr) == SQLITE_OK;
  const bool etagOk = Run(connection.db(), std::string(kEtagTable), nullptr) == SQLITE_OK;
  if (etagOk) CreateGuidIndex(connection.db());
  connection.Close();
  return ctagOk && etagOk;
}

bool DataBaseOperator::IsEtagTableOutdated(const std::string& utf8Path) {
  Connection connection;
  if (!connection.Open(utf8Path, false)) return false;
  Statement stmt;
  if (stmt.Prepare(connection.db(), "PRAGMA table_info(etag);") != SQLITE_OK) return false;
  std::map<WString, int> keyPosition;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    keyPosition.emplace(ColumnText(stmt.get(), 1), sqlite3_column_int(stmt.get(), 5));
  }
  stmt.Finalize();
  connection.Close();
  if (keyPosition.empty()) return false;  // no table: nothing to convert
  const auto position = [&keyPosition](const char16_t* name) {
    const auto found = keyPosition.find(name);
    return found == keyPosition.end() ? 0 : found->second;
  };
  // SQLite reports a column's position within the key (luid 1, type 2 for the current
  // layout); some builds report 1 for every key column. Either way both must be key columns.
  return !(position(u"luid") >= 1 && position(u"type") >= 1);
}

bool DataBaseOperator::UpgradeEtagTable(const std::string& utf8Path) {
  Connection connection;
  if (!connection.Open(utf8Path, false)) {
    LogError(u"UpdateEtagBatch(), connect db failed.");
    return false;
  }
  sqlite3* db = connection.db();
  // Without a transaction a failure after the DROP could not be undone.
  if (!BeginTransaction(db)) return false;
  const char* const steps[] = {
      kEtagTempTable, "INSERT INTO etag_temp SELECT * FROM etag;", "DROP TABLE etag;",
      kEtagTable,     "INSERT INTO etag SELECT * FROM etag_temp;", "DROP TABLE etag_temp;",
  };
  WString reason;
  int code = SQLITE_OK;
  for (const char* step : steps) {
    code = Run(db, std::string(step), &reason);
    if (code != SQLITE_OK) break;
  }
  if (code != SQLITE_OK) {
    // Committing a half-done upgrade could leave the store without its etag rows.
    RollbackTransaction(db);
    LogError(u"Upgrade of the etag table rolled back,error code is ", CodeAndReason(code, reason));
    return false;
  }
  if (!CommitTransaction(db)) {
    RollbackTransaction(db);
    return false;
  }
  CreateGuidIndex(db);
  return true;
}

bool DataBaseOperator::InsertCtagData(const CtagItem& item) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), false)) {
    LogError(u"InsertCtagData(), connect db failed.");
    return false;
  }
  sqlite3* db = connection.db();
  Statement stmt;
  int code = stmt.Prepare(db, kInsertCtag);
  if (code == SQLITE_OK) code = BindText(stmt.get(), 1, item.ctag_name);
  if (code == SQLITE_OK) code = BindText(stmt.get(), 2, item.ctag_value);
  if (code == SQLITE_OK) code = BindText(stmt.get(), 3, item.sync_token);
  if (code == SQLITE_OK) code = sqlite3_step(stmt.get());
  bool ok = code == SQLITE_DONE || IsDuplicate(code, db);
  if (!ok) {
    LogError(u"InsertCtagData failed,error code is ", CodeAndReason(code, Reason(db)),
             u",ctag_name:", item.ctag_name);
  }
  stmt.Finalize();
  connection.Close();
  return ok;
}

bool DataBaseOperator::UpdateCtagData(const WString& ctagName, const WString& ctagValue) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), false)) {
    LogError(u"UpdateCtagData(), connect db failed.");
    return false;
  }
  const WString sql = u"UPDATE ctag SET ctag_value='" + Quoted(ctagValue) + u"' WHERE ctag_name='" +
                      Quoted(ctagName) + u"'";
  WString reason;
  const int code = Run(connection.db(), sql, &reason);
  connection.Close();
  if (code != SQLITE_OK) {
    LogError(u"UpdateCtagDataHelper failed,error code is ", CodeAndReason(code, reason), u",key:",
             ctagName);
    return false;
  }
  return true;
}

bool DataBaseOperator::CheckItemExistsInCtag(const WString& ctagName) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), true)) {
    LogError(u"CheckItemExistsInCtag(), connect db failed.");
    return false;
  }
  const WString sql = u"SELECT count(1) FROM ctag where ctag_name = '" + Quoted(ctagName) + u"'";
  Statement stmt;
  long long count = -1;
  int code = stmt.Prepare(connection.db(), WideToUtf8(sql));
  if (code == SQLITE_OK) {
    while ((code = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      count = sqlite3_column_int64(stmt.get(), 0);
    }
  }
  if (code != SQLITE_DONE) {
    LogError(u"CheckItemExistsInCtag failed,error code is ",
             CodeAndReason(code, Reason(connection.db())));
  }
  stmt.Finalize();
  connection.Close();
  return code == SQLITE_DONE && count == 1;
}

bool DataBaseOperator::GetCtagDataItem(CtagItem& out, const WString& ctagName) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), true)) {
    LogError(u"GetCtagDataItem(), connect db failed.");
    return false;
  }
  const WString sql = u"SELECT ctag_name, ctag_value, sync_token FROM ctag WHERE ctag_name = '" +
                      Quoted(ctagName) + u"';";
  Statement stmt;
  int code = stmt.Prepare(connection.db(), WideToUtf8(sql));
  if (code == SQLITE_OK) code = sqlite3_step(stmt.get());
  if (code == SQLITE_ROW) {
    out.ctag_name = ColumnText(stmt.get(), 0);
    out.ctag_value = ColumnText(stmt.get(), 1);
    out.sync_token = ColumnText(stmt.get(), 2);
  }
  // A failed read must not pass for "no row": the caller would start from an empty ctag.
  const bool ok = code == SQLITE_ROW || code == SQLITE_DONE;
  if (!ok) {
    LogError(u"GetCtagDataItem failed,error code is ",
             CodeAndReason(code, Reason(connection.db())));
  }
  stmt.Finalize();
  connection.Close();
  return ok;
}

bool DataBaseOperator::InsertEtagDataBatch(const std::vector<EtagItem>& items) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), false)) {
    LogError(u"InsertEtagDataBatch(), connect db failed.");
    return false;
  }
  sqlite3* db = connection.db();
  if (!BeginTransaction(db)) {
    CommitTransaction(db);
    return false;
  }
  Utf8Binder binder;  // before the statement: bound texts must outlive it
  Statement stmt;
  int code = stmt.Prepare(db, kInsertEtag);
  if (code != SQLITE_OK) {
    LogError(u"InsertEtagData failed,error code is ", CodeAndReason(code, Reason(db)));
    CommitTransaction(db);
    return false;
  }
  bool result = true;
  for (const EtagItem& item : items) {
    sqlite3_stmt* insert = stmt.get();
    code = binder.Bind(insert, 1, item.luid);
    if (code == SQLITE_OK) code = binder.Bind(insert, 2, item.type);
    if (code == SQLITE_OK) code = binder.Bind(insert, 3, item.etag);
    if (code == SQLITE_OK) code = binder.Bind(insert, 4, item.uuid);
    if (code == SQLITE_OK) code = binder.Bind(insert, 5, item.guid);
    if (code == SQLITE_OK) code = binder.Bind(insert, 6, item.hash);
    if (code == SQLITE_OK) code = sqlite3_bind_int(insert, 7, item.recycle_status);
    if (code == SQLITE_OK) code = sqlite3_step(insert);
    if (code == SQLITE_DONE) {
      // stored
    } else if (IsDuplicate(code, db)) {
      LogInfo(u"The same record exists in the database,treat as a success,reason : ", Reason(db),
              u", luid", item.luid);
    } else {
      // Any such row fails the batch, whatever follows it; the other rows still commit.
      LogError(u"InsertEtagData failed,error code is ", CodeAndReason(code, Reason(db)), u",luid:",
               item.luid);
      result = false;
    }
    sqlite3_reset(insert);
  }
  stmt.Finalize();
  // Rows that were never committed are not stored, whatever the steps said.
  if (!CommitTransaction(db)) result = false;
  connection.Close();
  return result;
}

bool DataBaseOperator::DeleteEtagBatchWithUid(const std::vector<WString>& ids, int uidType) {
  if (ids.empty()) return true;
  WString sql;
  if (uidType == 0) {
    sql = u"DELETE FROM etag WHERE luid in ('";
  } else if (uidType == 1) {
    sql = u"DELETE FROM etag WHERE guid in ('";
  } else {
    LogError(u"DataBaseOperator::DeleteEtagBatchWithUid() uidType error");
    return false;
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) sql += u"','";
    sql += Quoted(ids[i]);
  }
  sql += u"')";

  Connection connection;
  if (!connection.Open(Utf8DbPath(), false)) {
    LogError(u"DeleteEtagBatchWithUid(), connect db failed.");
    return false;
  }
  sqlite3* db = connection.db();
  if (!BeginTransaction(db)) {
    CommitTransaction(db);
    return false;
  }
  WString reason;
  const int code = Run(db, sql, &reason);
  bool result = code == SQLITE_OK;
  if (!result) {
    LogError(u"DeleteCtagDataByType failed,error code is ", CodeAndReason(code, reason), u",sql:",
             sql);
  }
  if (!CommitTransaction(db)) result = false;
  connection.Close();
  return result;
}

bool DataBaseOperator::UpdateEtagBatch(const std::vector<EtagUpdate>& updates) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), false)) {
    LogError(u"UpdateEtagBatch(), connect db failed.");
    return false;
  }
  sqlite3* db = connection.db();
  // Without the transaction each update commits on its own, which is slower but complete.
  const bool inTransaction = BeginTransaction(db);
  bool result = true;
  for (const EtagUpdate& update : updates) {
    const WString where = BuildWhereClause(update);
    int code = SQLITE_OK;
    WString reason;
    for (const auto* fields : {&update.whereFields, &update.setFields}) {
      for (const auto& field : *fields) {
        if (!IsEtagColumn(field.first)) {
          code = SQLITE_ERROR;
          reason = u"no such column: " + field.first;
        }
      }
    }
    if (code == SQLITE_OK) code = Run(db, BuildEtagUpdateStatement(update), &reason);
    if (code != SQLITE_OK) {
      LogError(u"UpdateEtagDataHelper failed,error code is ", CodeAndReason(code, reason), u",key:",
               where);
      result = false;
    }
  }
  if (inTransaction && !CommitTransaction(db)) result = false;
  connection.Close();
  return result;
}

bool DataBaseOperator::GetEtagDataItemsByType(std::vector<EtagItem>& out, const WString& type,
                                              RowFields fields) {
  Connection connection;
  if (!connection.Open(Utf8DbPath(), true)) {
    LogError(u"GetEtagDataItemsByType(), connect db failed.");
    return false;
  }
  const std::string where = " FROM etag WHERE type = '" + WideToUtf8(Quoted(type)) + "';";
  // Unless the caller made room from its own estimate, the rows are counted first, so that
  // the list is allocated once rather than moved row by row as it grows (a hint only: a
  // failed count reads all the same). The count is a scan of its own.
  if (out.capacity() == out.size()) {
    Statement count;
    if (count.Prepare(connection.db(), "SELECT count(*)" + where) == SQLITE_OK &&
        sqlite3_step(count.get()) == SQLITE_ROW) {
      const sqlite3_int64 rows = sqlite3_column_int64(count.get(), 0);
      if (rows > 0 && rows <= kMaxReservedRows) out.reserve(out.size() + static_cast<size_t>(rows));
    }
  }
  // Every row holds the type asked for; its stored bytes are those of the literal above.
  const std::string typeBytes = WideToUtf8(type);
  Statement stmt;
  int code = stmt.Prepare(connection.db(),
                          "SELECT luid,type,etag,uuid,guid,hash,recycle_status" + where);
  if (code == SQLITE_OK) {
    sqlite3_stmt* select = stmt.get();
    const bool whole = fields == RowFields::kAll;
    const bool etag = fields != RowFields::kIds;
    while ((code = sqlite3_step(select)) == SQLITE_ROW) {
      EtagItem& item = out.emplace_back();  // filled in place: no move per row
      item.luid = ColumnText(select, 0);
      item.guid = ColumnText(select, 4);
      item.recycle_status = sqlite3_column_int(select, 6);
      if (etag) item.etag = ColumnText(select, 2);
      if (!whole) continue;
      const char* storedType = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
      const int storedBytes = sqlite3_column_bytes(select, 1);
      item.type = storedType != nullptr && typeBytes.compare(0, std::string::npos, storedType,
                                                             static_cast<size_t>(storedBytes)) == 0
                      ? type
                      : ColumnText(select, 1);
      item.uuid = ColumnText(select, 3);
      item.hash = ColumnText(select, 5);
    }
  }
  // A failed read must not pass for fewer rows: every missing row would look like a change.
  const bool ok = code == SQLITE_DONE;
  if (!ok) {
    LogError(u"GetEtagDataItemsByType failed,error code is ",
             CodeAndReason(code, Reason(connection.db())));
  }
  stmt.Finalize();
  connection.Close();
  return ok;
}

}  // namespace quillet
