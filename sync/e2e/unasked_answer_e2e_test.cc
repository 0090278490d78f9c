// Answers and host results about records the library never asked for, through the real
// transport: the reference server adds entries to its answers, the model host adds records
// to its results or answers a list that is not one. None of it may change a row, reach the
// host as a result or delete anything, in the round itself or in the next one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "sync/e2e/e2e_fixture.h"

namespace quillet {
namespace e2e {
namespace {

using syncserver::Fault;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// guid -> "luid|etag" of every etag row of the device's store.
std::map<std::string, std::string> EtagRows(const std::string& dir) {
  std::map<std::string, std::string> rows;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().filename() != "Quillet.dat") continue;
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(entry.path().u8string().c_str(), &db, SQLITE_OPEN_READONLY,
                                         nullptr));
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(db, "SELECT guid, luid, etag FROM etag", -1, &statement, nullptr));
    while (sqlite3_step(statement) == SQLITE_ROW) {
      auto text = [&](int i) {
        const unsigned char* t = sqlite3_column_text(statement, i);
        return std::string(t ? reinterpret_cast<const char*>(t) : "");
      };
      rows[text(0)] += text(1) + "|" + text(2);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }
  return rows;
}

Json::Value Parse(const std::string& body) {
  Json::Value root;
  std::string errors;
  std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
      ->parse(body.data(), body.data() + body.size(), &root, &errors);
  return root;
}

std::string Write(const Json::Value& root) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, root);
}

// A rewrite that appends these elements (JSON texts) to the answer's list.
std::function<std::string(const std::string&)> Append(const std::string& list,
                                                      std::vector<std::string> elements) {
  return [list, elements](const std::string& body) {
    Json::Value root = Parse(body);
    for (const std::string& element : elements) root[list].append(Parse(element));
    return Write(root);
  };
}

class UnaskedAnswerTest : public E2eTest {
 protected:
  // Device a holds 10 synced records, device b holds them too.
  void SetUp() override {
    E2eTest::SetUp();
    for (int i = 0; i < 10; ++i) luids_.push_back(a_->Add(RecordData("a", i)));
    ASSERT_EQ(a_->Sync(100), 0);
    ASSERT_EQ(b_->Sync(100), 0);
  }

  std::string GuidOf(int i) { return a_->Records().at(luids_[i]).guid; }

  int IgnoredReports() {
    int n = 0;
    for (const auto& report : a_->Reports()) n += report.first == "local_IgnoredAnswerEntries";
    return n;
  }

  // The next rounds of both devices change nothing on a and end converged.
  void ExpectQuietNextRound(size_t records) {
    a_->ClearEvents();
    ASSERT_EQ(b_->Sync(100), 0);
    ASSERT_EQ(a_->Sync(100), 0);
    for (const HostEvent& event : a_->EventsOf("DeleteData")) EXPECT_THAT(event.luids, IsEmpty());
    EXPECT_THAT(a_->EventsOf("UpdateStructData"), IsEmpty());
    EXPECT_EQ(a_->Records().size(), records);
    EXPECT_EQ(a_->redeliveredAdds(), 0);
    ASSERT_EQ(b_->Sync(100), 0);
    ExpectConverged();
  }

  std::vector<std::string> luids_;
};

TEST_F(UnaskedAnswerTest, AnAddAnswerForALuidNeverSentChangesNothing) {
  const std::string added = a_->Add(RecordData("new", 1));
  const std::string victim = luids_[7];
  const std::string victimGuid = GuidOf(7);
  server().AddFault(Fault::RewriteBody(
      "POST", 1,
      Append("addrsp",
             {R"({"luid":")" + victim + R"(","guid":"gEVIL","status":200,"props":{"etag":"e"}})",
              R"({"luid":"N9","guid":"gEVIL2","status":200,"props":{"etag":"e"}})"})));
  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(100), 0);

  const auto results = a_->EventsOf("UpdateSyncResult");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_THAT(results[0].luids, ElementsAre(added));
  EXPECT_EQ(a_->Records().at(victim).guid, victimGuid);
  const auto rows = EtagRows(a_->dbPath());
  EXPECT_EQ(rows.size(), 11u);
  EXPECT_EQ(rows.count("gEVIL") + rows.count("gEVIL2"), 0u);
  EXPECT_EQ(IgnoredReports(), 1);

  ExpectQuietNextRound(11);
  EXPECT_EQ(a_->Records().at(victim).guid, victimGuid);
}

TEST_F(UnaskedAnswerTest, UpdateAndRemoveAnswersForGuidsNeverSentChangeNothing) {
  ASSERT_TRUE(a_->Modify(luids_[2], RecordData("edited", 2)));
  ASSERT_TRUE(a_->Remove(luids_[4]));
  const auto before = EtagRows(a_->dbPath());
  const std::string overwritten = GuidOf(8);
  const std::string dropped = GuidOf(9);
  server().AddFault(Fault::RewriteBody(
      "POST", 1,
      Append("updatersp",
             {R"({"guid":")" + overwritten + R"(","status":200,"props":{"etag":"eEVIL"}})"})));
  server().AddFault(Fault::RewriteBody(
      "POST", 2,
      Append("removersp", {R"({"guid":")" + dropped + R"(","status":200})",
                           R"({"guid":"gNEVER","status":200})"})));
  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(100), 0);

  const auto rows = EtagRows(a_->dbPath());
  EXPECT_EQ(rows.size(), 9u);
  EXPECT_EQ(rows.at(overwritten), before.at(overwritten));
  EXPECT_EQ(rows.count(dropped), 1u);
  int deletions = 0, modifications = 0;
  for (const HostEvent& event : a_->EventsOf("UpdateSyncResult")) {
    modifications += event.counts[1];
    deletions += event.counts[2];
  }
  EXPECT_EQ(modifications, 1);
  EXPECT_EQ(deletions, 1);
  EXPECT_EQ(IgnoredReports(), 2);

  ExpectQuietNextRound(9);
  EXPECT_EQ(ServerRecords().at(GuidOf(2)), RecordData("edited", 2));
}

TEST_F(UnaskedAnswerTest, ADownloadAnswerHandsOverOnlyTheGuidsAskedForEachOnce) {
  b_->Add(RecordData("b", 0));
  ASSERT_EQ(b_->Sync(100), 0);
  server().AddFault(Fault::RewriteBody("REPORT", 1, [](const std::string& body) {
    Json::Value root = Parse(body);
    Json::Value& list = root["multistatus"];
    if (list.isArray() && list.size() > 0) {
      Json::Value extra = list[0];
      extra["guid"] = "gX";
      extra["data"] = "not asked";
      list.append(extra);
      list.append(Json::Value(list[0]));  // the asked one once more
    }
    return Write(root);
  }));
  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(100), 0);

  const auto deliveries = a_->EventsOf("UpdateStructData");
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].counts[0], 1);
  EXPECT_EQ(a_->Records().size(), 11u);
  EXPECT_TRUE(a_->LuidOf("gX").empty());
  EXPECT_EQ(EtagRows(a_->dbPath()).count("gX"), 0u);
  EXPECT_EQ(a_->redeliveredAdds(), 0);
  EXPECT_EQ(IgnoredReports(), 1);

  ExpectQuietNextRound(11);
}

TEST_F(UnaskedAnswerTest, HostResultsBeyondTheRequestAreNotUploaded) {
  const std::string added = a_->Add(RecordData("new", 1));
  a_->extraQueryLuids = {luids_[6], "N7"};
  a_->extraNullLuids = 2;
  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(100), 0);
  a_->extraQueryLuids.clear();
  a_->extraNullLuids = 0;

  EXPECT_EQ(ServerRecords().size(), 11u);
  EXPECT_EQ(ServerRecords().at(a_->Records().at(added).guid), RecordData("new", 1));
  const auto rows = EtagRows(a_->dbPath());
  EXPECT_EQ(rows.size(), 11u);
  const auto results = a_->EventsOf("UpdateSyncResult");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_THAT(results[0].luids, ElementsAre(added));

  const int posts = server().RequestCount("POST");
  ExpectQuietNextRound(11);
  EXPECT_EQ(server().RequestCount("POST"), posts);
}

TEST_F(UnaskedAnswerTest, HostResultsForRecordsNotHandedOverChangeNoRow) {
  // Two cloud additions, delivered one per batch, and one cloud deletion.
  b_->Add(RecordData("b", 0));
  b_->Add(RecordData("b", 1));
  ASSERT_TRUE(b_->Remove(b_->LuidOf(GuidOf(3))));
  ASSERT_EQ(b_->Sync(100), 0);
  std::vector<std::string> added;
  for (const auto& entry : ServerRecords()) {
    if (a_->LuidOf(entry.first).empty()) added.push_back(entry.first);
  }
  ASSERT_EQ(added.size(), 2u);
  const std::string kept = luids_[6];
  const std::string keptGuid = GuidOf(6);
  // Each delivery's answer also names both additions (one of them repeated, the other not
  // handed over yet) under a luid of the host's; DeleteData also names a record it keeps.
  a_->extraStoredResults = {{"N5", added[0]}, {"N5", added[1]}};
  a_->extraDeletedLuids = {kept};
  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(1), 0);
  a_->extraStoredResults.clear();
  a_->extraDeletedLuids.clear();

  const auto rows = EtagRows(a_->dbPath());
  EXPECT_EQ(rows.size(), 11u);
  for (const std::string& guid : added) {
    ASSERT_EQ(rows.count(guid), 1u);
    EXPECT_EQ(rows.at(guid).substr(0, rows.at(guid).find('|')), a_->LuidOf(guid)) << rows.at(guid);
    EXPECT_EQ(std::count(rows.at(guid).begin(), rows.at(guid).end(), '|'), 1) << rows.at(guid);
  }
  ASSERT_EQ(rows.count(keptGuid), 1u);
  EXPECT_EQ(rows.at(keptGuid).substr(0, rows.at(keptGuid).find('|')), kept);
  EXPECT_EQ(a_->Records().at(kept).guid, keptGuid);

  ExpectQuietNextRound(11);
}

TEST_F(UnaskedAnswerTest, AnInvalidIdListFailsTheUploadWithNothingSent) {
  ASSERT_TRUE(a_->Modify(luids_[1], RecordData("edited", 1)));
  const auto rows = EtagRows(a_->dbPath());
  const auto cloud = ServerRecords();
  for (const auto bad : {ModelDevice::BadIdList::kNegativeCount,
                         ModelDevice::BadIdList::kNullWithCount}) {
    SCOPED_TRACE(static_cast<int>(bad));
    const int posts = server().RequestCount("POST");
    a_->ClearEvents();
    a_->badIdList = bad;
    EXPECT_EQ(a_->Sync(100), QUILLET_INVALID_CALL);
    EXPECT_EQ(server().RequestCount("POST"), posts);
    EXPECT_EQ(ServerRecords(), cloud);
    EXPECT_EQ(EtagRows(a_->dbPath()), rows);
    EXPECT_THAT(a_->EventsOf("UpdateSyncResult"), IsEmpty());
    EXPECT_THAT(a_->FreeErrors(), IsEmpty());
  }
  // Answered properly, the same device sends its edit and loses nothing.
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 10u);
  EXPECT_EQ(ServerRecords().at(GuidOf(1)), RecordData("edited", 1));
  ExpectQuietNextRound(10);

  // A valid empty list still means the user removed everything.
  for (const std::string& luid : luids_) ASSERT_TRUE(a_->Remove(luid));
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_THAT(ServerRecords(), IsEmpty());
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_THAT(b_->Records(), IsEmpty());
}

TEST_F(UnaskedAnswerTest, AnEtagListOfEmptyListsIsRefusedBeforeItIsBuilt) {
  b_->Add(RecordData("b", 0));
  ASSERT_EQ(b_->Sync(100), 0);
  const auto rows = EtagRows(a_->dbPath());
  const auto records = a_->Records();
  // 4 MiB of "[]," would take about 220 MiB as a tree.
  server().AddFault(Fault::RewriteBody("PROPFIND", 1, [](const std::string&) {
    std::string body = R"({"multistatus":[)";
    body.reserve(4u << 20);
    while (body.size() < (4u << 20)) body += "[],";
    body += "[]]}";
    return body;
  }));
  EXPECT_EQ(a_->Sync(100), QUILLET_NO_RESPONSE);
  EXPECT_EQ(EtagRows(a_->dbPath()), rows);
  EXPECT_EQ(a_->Records().size(), records.size());
  for (const HostEvent& event : a_->EventsOf("DeleteData")) EXPECT_THAT(event.luids, IsEmpty());

  server().ClearFaults();
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(a_->Records().size(), 11u);
  ASSERT_EQ(b_->Sync(100), 0);
  ExpectConverged();
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
