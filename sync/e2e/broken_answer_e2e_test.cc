// Broken and missing answers through the real transport: the reference server cuts the
// connection, cuts the JSON, mistypes a member, leaves out the list or sends it twice.
// However the answer breaks, the round fails and the device keeps everything it had.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "sync/e2e/e2e_fixture.h"
#include "sync/net/base_net_interface.h"

namespace quillet {
namespace e2e {
namespace {

using syncserver::Fault;

// Every ctag and etag row of every store under dir, as text lines.
std::vector<std::string> StoreRows(const std::string& dir) {
  std::vector<std::string> rows;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().filename() != "Quillet.dat") continue;
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(entry.path().u8string().c_str(), &db, SQLITE_OPEN_READONLY,
                                         nullptr));
    for (const char* sql : {"SELECT ctag_name, ctag_value FROM ctag ORDER BY 1",
                            "SELECT luid, guid, etag FROM etag ORDER BY 1, 2"}) {
      sqlite3_stmt* statement = nullptr;
      EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, sql, -1, &statement, nullptr)) << sql;
      while (sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
          const unsigned char* text = sqlite3_column_text(statement, i);
          row += std::string(text ? reinterpret_cast<const char*>(text) : "") + "|";
        }
        rows.push_back(row);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
  }
  return rows;
}

// luid -> data, guid and state of each record.
std::map<std::string, std::string> Summary(const std::map<std::string, ModelRecord>& records) {
  std::map<std::string, std::string> out;
  for (const auto& entry : records) {
    out[entry.first] =
        entry.second.data + "|" + entry.second.guid + "|" + std::to_string(entry.second.state);
  }
  return out;
}

// The etag list with the guid of its middle entry turned into a number.
std::string NumericGuidInTheMiddle(const std::string& body) {
  Json::Value root;
  std::string errors;
  std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
      ->parse(body.data(), body.data() + body.size(), &root, &errors);
  Json::Value& list = root["multistatus"];
  if (list.isArray() && list.size() > 0) list[list.size() / 2]["guid"] = 777;
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

struct BrokenAnswer {
  const char* name;
  Fault fault;
};

std::vector<BrokenAnswer> BrokenEtagLists() {
  return {
      {"connection cut halfway through the body", Fault::CutConnection("PROPFIND", 1)},
      {"whole HTTP answer, JSON cut halfway", Fault::BrokenBody("PROPFIND", 1)},
      {"a numeric guid in the middle", Fault::RewriteBody("PROPFIND", 1, NumericGuidInTheMiddle)},
      {"a result code and no list",
       Fault::RewriteBody("PROPFIND", 1,
                          [](const std::string&) { return R"({"result":{"code":200}})"; })},
      {"the list twice, the second empty",
       Fault::RewriteBody(
           "PROPFIND", 1,
           [](std::string body) { return body.insert(body.rfind('}'), R"(,"multistatus":[])"); })},
  };
}

class BrokenAnswerTest : public E2eTest {
 protected:
  // Device a holds 20 synced records, one of them edited and not yet sent; device b has
  // added one more, so a's next round lists the etags.
  void SetUp() override {
    E2eTest::SetUp();
    for (int i = 0; i < 20; ++i) luids_.push_back(a_->Add(RecordData("a", i)));
    ASSERT_EQ(a_->Sync(100), 0);
    ASSERT_TRUE(a_->Modify(luids_[3], RecordData("edited", 3)));
    ASSERT_EQ(b_->Sync(100), 0);
    b_->Add(RecordData("b", 0));
    ASSERT_EQ(b_->Sync(100), 0);
  }

  std::vector<std::string> luids_;
};

TEST_F(BrokenAnswerTest, ABrokenEtagListFailsTheRoundAndTheDeviceKeepsEverything) {
  const auto records = a_->Records();
  const auto rows = StoreRows(a_->dbPath());
  ASSERT_FALSE(rows.empty());
  for (const BrokenAnswer& broken : BrokenEtagLists()) {
    SCOPED_TRACE(broken.name);
    server().ClearFaults();
    server().AddFault(broken.fault);
    a_->ClearEvents();
    EXPECT_EQ(a_->Sync(100), QUILLET_NO_RESPONSE);
    for (const HostEvent& event : a_->EventsOf("DeleteData")) {
      EXPECT_THAT(event.luids, ::testing::IsEmpty());
    }
    EXPECT_THAT(a_->EventsOf("UpdateStructData"), ::testing::IsEmpty());
    EXPECT_EQ(Summary(a_->Records()), Summary(records));
    EXPECT_EQ(StoreRows(a_->dbPath()), rows) << "ctag or etag rows changed";
  }

  // With a whole answer the round completes: b's record arrives, a's edit goes up.
  server().ClearFaults();
  ASSERT_EQ(a_->Sync(100), 0);
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(a_->Records().size(), 21u);
  EXPECT_EQ(ServerRecords().at(a_->Records().at(luids_[3]).guid), RecordData("edited", 3));
  ExpectConverged();
}

TEST_F(BrokenAnswerTest, BrokenUploadAnswersMarkNothingAndTheNextRoundConverges) {
  // A cut add answer: the server stored the record, the device never learnt its guid.
  const std::string added = a_->Add(RecordData("new", 1));
  server().AddFault(Fault::BrokenBody("POST", 1));
  EXPECT_NE(a_->Sync(100), 0);
  EXPECT_TRUE(a_->Records().at(added).guid.empty());
  EXPECT_EQ(a_->Records().at(added).state, 1);
  server().ClearFaults();
  // The stored copy comes back with the same content; the model host adopts it.
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(a_->adoptedAdds(), 1);
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 22u);
  ExpectConverged();

  // A cut remove answer fails the round and deletes no etag row; the next round lists the
  // etags again and finds the record gone from the cloud.
  ASSERT_TRUE(a_->Remove(luids_[5]));
  const auto rows = StoreRows(a_->dbPath());
  server().AddFault(Fault::CutConnection("POST", 1));
  EXPECT_EQ(a_->Sync(100), QUILLET_NO_RESPONSE);
  EXPECT_EQ(StoreRows(a_->dbPath()), rows);
  server().ClearFaults();
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(StoreRows(a_->dbPath()).size(), rows.size() - 1);
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 21u);
  ExpectConverged();
}

TEST_F(BrokenAnswerTest, AServerThatNeverAnswersEndsTheRoundWithinTheStallLimit) {
  BaseNetInterface::SetTransferLimitsForTesting(2000, 1);
  // libcurl judges the speed over its last five seconds, so a one-second stall limit ends
  // the transfer five to seven seconds in; the server's minute tells that apart from waiting.
  server().AddFault(Fault::Delay("PROPFIND", 1, 60000));
  const auto start = std::chrono::steady_clock::now();
  const int code = a_->Sync(100);
  const auto waited = std::chrono::steady_clock::now() - start;
  BaseNetInterface::SetTransferLimitsForTesting(BaseNetInterface::kConnectTimeoutMs,
                                                BaseNetInterface::kStallSeconds);
  EXPECT_EQ(code, QUILLET_NO_RESPONSE);
  EXPECT_LT(waited, std::chrono::seconds(20));
  server().ClearFaults();
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(a_->Records().size(), 21u);
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
