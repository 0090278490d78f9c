#include "examples/bookmarks/kill_rerun/sqlite_file.h"

namespace quillet {
namespace killrerun {

SqliteFile::SqliteFile(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    error_ = path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

SqliteFile::~SqliteFile() { sqlite3_close(db_); }

bool SqliteFile::Query(const std::string& sql, std::vector<Row>* rows) {
  rows->clear();
  if (!db_) return false;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    error_ = sql + ": " + sqlite3_errmsg(db_);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    Row row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      const unsigned char* text = sqlite3_column_text(st, i);
      row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    }
    rows->push_back(std::move(row));
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) {
    error_ = sql + ": " + sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

std::string SqliteFile::IntegrityCheck() {
  std::vector<Row> rows;
  if (!Query("PRAGMA integrity_check;", &rows)) return error_;
  std::string result;
  for (const Row& row : rows) result += (result.empty() ? "" : "; ") + row.at(0);
  return result;
}

}  // namespace killrerun
}  // namespace quillet
