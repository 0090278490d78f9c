// The floor client's etag store: the library's SQLite file layout and statements (same
// CREATE TABLE texts, index, WAL, statements) and its way of using them, one private
// connection per operation and one transaction per batch of rows, in plain SQLite calls
// on UTF-8 text.
#ifndef QUILLET_BENCH_FLOOR_STORE_H_
#define QUILLET_BENCH_FLOOR_STORE_H_

#include <string>
#include <vector>

namespace quillet {
namespace bench {

struct EtagRow {
  std::string luid;
  std::string etag;
  std::string guid;
};

class FloorStore {
 public:
  // path: the database file; its directory must exist.
  explicit FloorStore(std::string path) : path_(std::move(path)) {}

  // What the library does at the first call of every round: create the file in WAL mode
  // when missing, create the tables and the index, read the etag table's layout.
  bool Prepare();
  // The data type's ctag row, inserted with an empty ctag when missing.
  bool EnsureCtagRow(const std::string& dataType);
  bool ReadCtag(const std::string& dataType, std::string* ctag);
  bool WriteCtag(const std::string& dataType, const std::string& ctag);
  bool ReadEtags(const std::string& dataType, std::vector<EtagRow>* rows);
  // One transaction for the whole batch.
  bool InsertEtags(const std::string& dataType, const std::vector<EtagRow>& rows);

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
};

}  // namespace bench
}  // namespace quillet

#endif  // QUILLET_BENCH_FLOOR_STORE_H_
