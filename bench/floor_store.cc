#include "bench/floor_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace quillet {
namespace bench {
namespace {

// Open flags with SQLITE_OPEN_NOMUTEX: each connection serves one call.
constexpr int kOpenReadOnly = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX;
constexpr int kOpenReadWrite = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
constexpr int kOpenCreate = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;

// The library's texts, unchanged: the same file layout is the point.
const char kCtagTable[] =
    "CREATE TABLE IF NOT EXISTS ctag(ctag_name      VARCHAR(256) PRIMARY KEY NOT NULL,"
    "ctag_value     VARCHAR(256) NOT NULL,sync_token     VARCHAR(256));";
const char kEtagTable[] =
    "CREATE TABLE IF NOT EXISTS etag(luid           VARCHAR(256) NOT NULL,"
    "type           VARCHAR(256) NOT NULL,etag           VARCHAR(256) NOT NULL,"
    "uuid           VARCHAR(256) ,guid           VARCHAR(256) NOT NULL,"
    "hash           VARCHAR(256),recycle_status INTEGER,PRIMARY KEY(luid,type));";
const char kGuidIndex[] = "CREATE INDEX IF NOT EXISTS etag_guid_index ON etag(guid);";
const char kInsertCtag[] = "INSERT INTO ctag(ctag_name,ctag_value,sync_token) VALUES(?,?,?)";
const char kInsertEtag[] =
    "INSERT INTO etag(luid,type,etag,uuid,guid,hash,recycle_status) VALUES(?,?,?,?,?,?,?)";

std::string Quoted(const std::string& value) {
  std::string out;
  for (const char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

int SleepAndRetry(void*, int count) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return count < 20 ? 1 : 0;
}

// One statement, finalized at scope exit.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Steps to the end; true when it got there.
bool RunToEnd(sqlite3_stmt* stmt) {
  if (stmt == nullptr) return false;
  int code;
  while ((code = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  return code == SQLITE_DONE;
}

bool Run(sqlite3* db, const std::string& sql) {
  Statement stmt(db, sql);
  return RunToEnd(stmt.get());
}

// A private connection for one operation.
class Connection {
 public:
  Connection(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
      return;
    }
    sqlite3_busy_handler(db_, SleepAndRetry, nullptr);
  }
  ~Connection() { sqlite3_close_v2(db_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

const char* Column(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

bool BindText(sqlite3_stmt* stmt, int index, const std::string& value) {
  return sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()),
                           SQLITE_STATIC) == SQLITE_OK;
}

}  // namespace

bool FloorStore::Prepare() {
  if (access(path_.c_str(), F_OK) != 0) {
    sqlite3* db = nullptr;
    const bool created = sqlite3_open_v2(path_.c_str(), &db, kOpenCreate, nullptr) == SQLITE_OK &&
                         Run(db, "PRAGMA journal_mode=WAL;") &&
                         sqlite3_busy_timeout(db, 500) == SQLITE_OK;
    sqlite3_close_v2(db);
    if (!created) return false;
  }
  {
    Connection connection(path_, kOpenReadWrite);
    if (connection.get() == nullptr || !Run(connection.get(), kCtagTable) ||
        !Run(connection.get(), kEtagTable) || !Run(connection.get(), kGuidIndex)) {
      return false;
    }
  }
  // The library reads the layout every round to find stores of an older layout.
  Connection connection(path_, kOpenReadWrite);
  return connection.get() != nullptr && Run(connection.get(), "PRAGMA table_info(etag);");
}

bool FloorStore::EnsureCtagRow(const std::string& dataType) {
  long long count = -1;
  {
    Connection connection(path_, kOpenReadOnly);
    if (connection.get() == nullptr) return false;
    Statement select(connection.get(),
                     "SELECT count(1) FROM ctag where ctag_name = '" + Quoted(dataType) + "'");
    if (select.get() == nullptr) return false;
    while (sqlite3_step(select.get()) == SQLITE_ROW) count = sqlite3_column_int64(select.get(), 0);
  }
  if (count == 1) return true;
  Connection connection(path_, kOpenReadWrite);
  if (connection.get() == nullptr) return false;
  Statement insert(connection.get(), kInsertCtag);
  const std::string empty;
  return insert.get() != nullptr && BindText(insert.get(), 1, dataType) &&
         BindText(insert.get(), 2, empty) && BindText(insert.get(), 3, empty) &&
         sqlite3_step(insert.get()) == SQLITE_DONE;
}

bool FloorStore::ReadCtag(const std::string& dataType, std::string* ctag) {
  Connection connection(path_, kOpenReadOnly);
  if (connection.get() == nullptr) return false;
  Statement select(connection.get(),
                   "SELECT ctag_name, ctag_value, sync_token FROM ctag WHERE ctag_name = '" +
                       Quoted(dataType) + "';");
  if (select.get() == nullptr) return false;
  const int code = sqlite3_step(select.get());
  ctag->clear();
  if (code == SQLITE_ROW) *ctag = Column(select.get(), 1);
  return code == SQLITE_ROW || code == SQLITE_DONE;
}

bool FloorStore::WriteCtag(const std::string& dataType, const std::string& ctag) {
  Connection connection(path_, kOpenReadWrite);
  return connection.get() != nullptr &&
         Run(connection.get(), "UPDATE ctag SET ctag_value='" + Quoted(ctag) +
                                   "' WHERE ctag_name='" + Quoted(dataType) + "'");
}

bool FloorStore::ReadEtags(const std::string& dataType, std::vector<EtagRow>* rows) {
  Connection connection(path_, kOpenReadOnly);
  if (connection.get() == nullptr) return false;
  Statement select(connection.get(),
                   "SELECT luid,type,etag,uuid,guid,hash,recycle_status FROM etag WHERE type = '" +
                       Quoted(dataType) + "';");
  if (select.get() == nullptr) return false;
  int code;
  while ((code = sqlite3_step(select.get())) == SQLITE_ROW) {
    rows->push_back(
        EtagRow{Column(select.get(), 0), Column(select.get(), 2), Column(select.get(), 4)});
  }
  return code == SQLITE_DONE;
}

bool FloorStore::InsertEtags(const std::string& dataType, const std::vector<EtagRow>& rows) {
  Connection connection(path_, kOpenReadWrite);
  sqlite3* db = connection.get();
  if (db == nullptr || !Run(db, "begin transaction;")) return false;
  bool ok = true;
  {
    Statement insert(db, kInsertEtag);
    sqlite3_stmt* stmt = insert.get();
    ok = stmt != nullptr;
    const std::string empty;
    for (size_t i = 0; ok && i < rows.size(); ++i) {
      const EtagRow& row = rows[i];
      ok = BindText(stmt, 1, row.luid) && BindText(stmt, 2, dataType) &&
           BindText(stmt, 3, row.etag) && BindText(stmt, 4, empty) && BindText(stmt, 5, row.guid) &&
           BindText(stmt, 6, empty) && sqlite3_bind_int(stmt, 7, 0) == SQLITE_OK &&
           sqlite3_step(stmt) == SQLITE_DONE;
      sqlite3_reset(stmt);
    }
  }
  if (!ok) {
    Run(db, "rollback transaction;");
    return false;
  }
  return Run(db, "commit transaction;");
}

}  // namespace bench
}  // namespace quillet
