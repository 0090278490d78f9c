// Test helpers for the store and its callers: a temporary directory, the library's log
// files inside it, and a raw SQLite connection to look at or tamper with a store file.
#ifndef QUILLET_SYNC_STORE_STORE_TEST_SUPPORT_H_
#define QUILLET_SYNC_STORE_STORE_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "sync/common/sync_process_adapter.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace store_testing {

inline std::string ReadWholeFile(const std::string& path) {
  FlushLogs();  // log lines the library still holds count as written
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory with logging configured into it; removed at the end of the test.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = std::make_unique<quillet::testing::TempDir>();
    root_ = temp_->path();
    ASSERT_TRUE(InitLogger(Utf8ToWide(root_ + "/logs/")));
  }
  void TearDown() override { temp_.reset(); }

  // The data directory handed to IntiDataBase, with its trailing separator.
  WString DataDir() const { return Utf8ToWide(root_ + "/data/"); }
  bool Init(const WString& user = u"user-1") {
    return DataBaseOperator::GetInstance().IntiDataBase(user, DataDir());
  }
  std::string DbFile() const { return WideToUtf8(DataBaseOperator::GetInstance().DbPath()); }

  std::string InfoLog() const { return ReadWholeFile(root_ + "/logs/Quillet/Quillet_info.log"); }
  std::string ErrorLog() const { return ReadWholeFile(root_ + "/logs/Quillet/Quillet_error.log"); }
  std::string SyncLog() const { return ReadWholeFile(root_ + "/logs/Quillet/Quillet_sync.log"); }

  std::unique_ptr<quillet::testing::TempDir> temp_;
  std::string root_;
};

// A connection of the test's own, beside the library's.
class RawDb {
 public:
  // The store keeps the file to itself while one of its connections works, so this one is
  // open only while it is used: from a statement to the end of its transaction.
  explicit RawDb(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
      : path_(path), flags_(flags) {
    if (Open() == nullptr) ADD_FAILURE() << path;
    Release();
  }
  ~RawDb() { sqlite3_close_v2(db_); }
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  // Runs statements; fails the test on an error.
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(Open(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << (error ? error : "");
    }
    sqlite3_free(error);
    Release();
  }
  // The first column of each row, as UTF-8 text joined by '|'.
  std::string Query(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(Open(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      Release();
      return out;
    }
    for (bool first = true; sqlite3_step(stmt) == SQLITE_ROW; first = false) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      out += (first ? "" : "|") + std::string(text ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_finalize(stmt);
    Release();
    return out;
  }

 private:
  sqlite3* Open() {
    if (db_ == nullptr && sqlite3_open_v2(path_.c_str(), &db_, flags_, nullptr) != SQLITE_OK) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
    }
    return db_;
  }
  // Closed unless a transaction is open.
  void Release() {
    if (db_ != nullptr && sqlite3_get_autocommit(db_)) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
    }
  }

  std::string path_;
  int flags_;
  sqlite3* db_ = nullptr;
};

// A host that answers QueryLocalIds from ids and records the calls of the upload side;
// every other callback is recorded as "other".
class FakeHost : public SyncProcessAdapter {
 public:
  std::vector<LocalIdRecord> ids;
  std::vector<std::string> calls;

  std::vector<LocalIdRecord> QueryLocalIds(WString dataType, int mode) override {
    calls.push_back("QueryLocalIds " + WideToUtf8(dataType) + " " + std::to_string(mode));
    return ids;
  }
  void OnUploadSyncStart(WString dataType) override {
    calls.push_back("OnUploadSyncStart " + WideToUtf8(dataType));
  }
  void OnDownloadSyncStart(WString, std::map<WString, int>) override { calls.push_back("other"); }
  std::vector<UpdateResultRecord> UpdateStructData(WString, StructList, StructList) override {
    calls.push_back("other");
    return {};
  }
  WString GetNewAT() override { return WString(); }
  TextList DeleteData(WString, TextList) override {
    calls.push_back("other");
    return {};
  }
  std::vector<QueryResultRecord> DataQueryByID(WString, TextList) override {
    calls.push_back("other");
    return {};
  }
  void UpdateSyncResult(WString, StructList, StructList, TextList, KeyedTextMap) override {
    calls.push_back("other");
  }
  void OnDataSyncEnd(WString, int) override { calls.push_back("other"); }
  void OnSyncEnd() override { calls.push_back("other"); }
  void ReportEvent(int, WString, TextMap) override { calls.push_back("other"); }
};

}  // namespace store_testing
}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_STORE_TEST_SUPPORT_H_
