// A look into an SQLite file that no process is writing: queries as text rows and the
// integrity check.
#ifndef QUILLET_EXAMPLES_KILL_RERUN_SQLITE_FILE_H_
#define QUILLET_EXAMPLES_KILL_RERUN_SQLITE_FILE_H_

#include <sqlite3.h>

#include <string>
#include <vector>

namespace quillet {
namespace killrerun {

using Row = std::vector<std::string>;

class SqliteFile {
 public:
  // Opens an existing file (never creates one). Read-write, so that a journal a killed
  // writer left behind is rolled back as any next opener would.
  explicit SqliteFile(const std::string& path);
  ~SqliteFile();
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  bool ok() const { return db_ != nullptr; }
  const std::string& error() const { return error_; }

  // Every row of sql (each column as text, NULL as ""); false with error() on failure.
  bool Query(const std::string& sql, std::vector<Row>* rows);
  // "ok", or what PRAGMA integrity_check (or opening the file) reported.
  std::string IntegrityCheck();

 private:
  sqlite3* db_ = nullptr;
  std::string error_;
};

}  // namespace killrerun
}  // namespace quillet

#endif  // QUILLET_EXAMPLES_KILL_RERUN_SQLITE_FILE_H_
