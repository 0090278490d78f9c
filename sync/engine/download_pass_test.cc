#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "quillet.h"
#include "sync/engine/passes.h"
#include "sync/store/database_operator.h"
#include "sync/store/delivery_journal.h"
#include "sync/testing/fsync_spy.h"
#include "sync/testing/pass_fixture.h"

namespace quillet {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;
using Delivery = std::pair<int, int>;
using Row = std::pair<WString, std::pair<WString, WString>>;

class DownloadPassTest : public testing::PassTest {
 protected:
  // Cloud records g01..gNN and, for the first `known` of them, a stored row under luid
  // "L-" + guid with an older etag, so they count as cloud modifications.
  void SeedCloud(int count, int known) {
    for (int i = 1; i <= count; ++i) {
      const WString guid = (i < 10 ? u"g0" : u"g") + ToWide(i);
      cloud_.Put(guid, u"new", u"data-" + guid);
      if (i <= known) AddRow(u"L-" + guid, guid, u"old");
    }
  }
};

// The journal of the type's in-flight additions, as a process that died left it.
DeliveryJournal Journal() {
  return DeliveryJournal(DataBaseOperator::GetInstance().DbPath(), u"bookmark");
}

StructRecord Record(const WString& guid, const WString& data) {
  StructRecord record;
  record.guid = guid;
  record.data = data;
  return record;
}

TEST_F(DownloadPassTest, AnUnrecordedDeliveryThatTheCloudDeletedIsDeletedOnTheHost) {
  // An earlier round handed over gone1 (and g1, g2) and died before writing their rows;
  // the cloud has since deleted gone1. g2 has its row, g1 is still in the cloud.
  cloud_.Put(u"g1", u"e1", u"d1");
  cloud_.Put(u"g2", u"e2", u"d2");
  AddRow(u"L-g2", u"g2", u"e2");
  ASSERT_TRUE(Journal().Record(
      {}, {Record(u"gone1", u"old data"), Record(u"g1", u"d1"), Record(u"g2", u"d2")}));
  // A torn last line is skipped.
  std::ofstream(Journal().path(), std::ios::app) << "{\"guid\":\"gon";
  ASSERT_EQ(StoredCtag(), u"");
  host_.updateConfirmsAll = true;
  host_.deleteEchoesLuids = true;

  ASSERT_EQ(Download(u"", 10), 0);  // equal ctags, but the journal makes it list
  EXPECT_THAT(host_.CallsOf("OnDownloadSyncStart")[0].numbers, ElementsAre(1, 0, 1));
  const auto deliveries = host_.CallsOf("UpdateStructData");
  ASSERT_EQ(deliveries.size(), 2u);
  ASSERT_EQ(deliveries[0].records[0].size(), 1u);  // the unrecorded one, handed over again
  EXPECT_EQ(deliveries[0].records[0][0].at("guid"), "gone1");
  EXPECT_EQ(deliveries[0].records[0][0].at("data"), "old data");
  EXPECT_EQ(deliveries[1].records[0][0].at("guid"), "g1");  // an ordinary cloud addition
  EXPECT_THAT(host_.CallsOf("DeleteData")[0].textLists[0], ElementsAre("L-gone1"));
  EXPECT_THAT(Rows(), ElementsAre(Row(u"L-g1", {u"g1", u"e1"}), Row(u"L-g2", {u"g2", u"e2"})));
  EXPECT_FALSE(std::filesystem::exists(Journal().path()));
}

TEST_F(DownloadPassTest, TheJournalHoldsADeliveryOnlyUntilItsRowsAreWritten) {
  SeedCloud(3, 0);
  std::vector<size_t> inFlight;
  host_.updateConfirmsAll = true;
  host_.onCall = [&](const testing::HostCall& call) {
    if (call.entry == "UpdateStructData") inFlight.push_back(Journal().Read().size());
  };
  ASSERT_EQ(Download(u"c1", 2), 0);
  EXPECT_THAT(inFlight, ElementsAre(2u, 1u));  // each delivery was journaled as it went
  EXPECT_TRUE(Journal().Read().empty());

  // A host that answers the unrecorded guid with a luid linked to another record does not
  // get that luid deleted.
  ASSERT_TRUE(Journal().Record({}, {Record(u"gone", u"x")}));
  host_.updateConfirmsAll = false;
  host_.updateAnswer.items = {{"L-g01", "gone", 0}};
  host_.deleteEchoesLuids = true;
  host_.ClearCalls();
  ASSERT_EQ(Download(u"c1", 2), 0);
  EXPECT_THAT(host_.CallsOf("DeleteData")[0].textLists[0], IsEmpty());
  EXPECT_EQ(Rows().size(), 3u);
}

// After a power cut the host may hold a delivery it stored: the journal naming it must be
// on the disk before the host is handed it (its folder too, when the file is new).
TEST_F(DownloadPassTest, EachDeliveryIsJournaledToTheDiskBeforeTheHostHoldsIt) {
#if defined(_WIN32)
  GTEST_SKIP() << "the fsync spy is POSIX";
#endif
  SeedCloud(3, 0);
  host_.updateConfirmsAll = true;
  std::vector<std::vector<std::string>> syncedBefore;
  host_.onCall = [&](const testing::HostCall& call) {
    if (call.entry == "UpdateStructData") syncedBefore.push_back(testing::TakeSyncedPaths());
  };
  const std::filesystem::path journal = std::filesystem::weakly_canonical(Journal().path());
  testing::TakeSyncedPaths();
  ASSERT_EQ(Download(u"c1", 2), 0);
  ASSERT_EQ(syncedBefore.size(), 2u);
  EXPECT_THAT(syncedBefore[0], ::testing::Contains(journal.string()));
  EXPECT_THAT(syncedBefore[0], ::testing::Contains(journal.parent_path().string()));
  EXPECT_THAT(syncedBefore[1], ::testing::Contains(journal.string()));
}

TEST_F(DownloadPassTest, EqualCtagsStillRunTheWholePassWithNothingFound) {
  cloud_.Put(u"g1", u"e", u"d");
  ASSERT_EQ(Download(u"", 10), 0);  // a new type's row holds the empty ctag
  host_.ClearCalls();
  cloud_.requests.clear();
  EXPECT_EQ(Download(u"", 10), 0);
  EXPECT_THAT(cloud_.requests, IsEmpty());
  EXPECT_THAT(host_.EntryNames(),
              ElementsAre("OnDownloadSyncStart", "ReportEvent", "DeleteData", "ReportEvent"));
  EXPECT_THAT(host_.CallsOf("OnDownloadSyncStart")[0].numbers, ElementsAre(0, 0, 0));
  EXPECT_THAT(host_.CallsOf("DeleteData")[0].numbers, ElementsAre(0));
  EXPECT_TRUE(LogCapture::Has(
      capture_.Sync(),
      "[Info][ProcessDownloadStructData] Local ctag is equal to current ctag,no need to download"));
}

TEST_F(DownloadPassTest, AnIncompleteAddBatchTravelsWithTheFirstModifyDelivery) {
  // g01..g07 are known (modified), g08..g12 new: 5 adds and 7 modifies, batch 4.
  SeedCloud(12, 7);
  host_.updateConfirmsAll = true;
  ASSERT_EQ(Download(u"c1", 4), 0);

  EXPECT_THAT(host_.CallsOf("OnDownloadSyncStart")[0].numbers, ElementsAre(5, 7, 0));
  EXPECT_THAT(Deliveries(), ElementsAre(Delivery(4, 0), Delivery(1, 3), Delivery(0, 4)));
  std::vector<size_t> downloads;
  for (const auto& request : cloud_.requests) {
    if (request.first == "DownloadData") downloads.push_back(request.second);
  }
  EXPECT_THAT(downloads, ElementsAre(4, 1, 3, 4));

  // Modified records reach the host under their local luid, with the cloud's data.
  const auto second = host_.CallsOf("UpdateStructData")[1];
  EXPECT_EQ(second.records[0][0].at("guid"), "g12");
  EXPECT_EQ(second.records[0][0].at("luid"), "");
  EXPECT_EQ(second.records[1][0].at("luid"), "L-g01");
  EXPECT_EQ(second.records[1][0].at("data"), "data-g01");

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 12u);
  for (const auto& row : rows) EXPECT_EQ(row.second.second, u"new") << WideToUtf8(row.first);
  EXPECT_EQ(rows.at(u"L-g10").first, u"g10");
  EXPECT_EQ(StoredCtag(), u"c1");

  // Nothing is found again once the rows are in step, even with a new ctag.
  host_.ClearCalls();
  ASSERT_EQ(Download(u"c2", 4), 0);
  EXPECT_THAT(host_.CallsOf("OnDownloadSyncStart")[0].numbers, ElementsAre(0, 0, 0));
  EXPECT_THAT(Deliveries(), IsEmpty());
}

TEST_F(DownloadPassTest, SmallOrNonPositiveBatchesDeliverEachRecordAlone) {
  SeedCloud(3, 0);
  host_.updateConfirmsAll = true;
  ASSERT_EQ(Download(u"c1", 10), 0);
  EXPECT_THAT(Deliveries(), ElementsAre(Delivery(3, 0)));
  EXPECT_EQ(cloud_.CountOf("DownloadData"), 1u);

  for (int batch : {1, 0, -3}) {
    SCOPED_TRACE(batch);
    cloud_.records.clear();
    cloud_.Put(u"x" + ToWide(batch + 10), u"e", u"d");
    cloud_.Put(u"y" + ToWide(batch + 10), u"e", u"d");
    host_.ClearCalls();
    // The host answers no deletion of the records the cloud dropped: the ctag stays.
    ASSERT_EQ(Download(u"c" + ToWide(batch + 10), batch), kDownloadLeftUnconfirmed);
    EXPECT_THAT(Deliveries(), ElementsAre(Delivery(1, 0), Delivery(1, 0)));
  }
}

TEST_F(DownloadPassTest, OnlyConfirmedRecordsGetRows) {
  SeedCloud(3, 1);  // g01 modified, g02 and g03 added
  host_.updateAnswer.items = {{"L-g01", "g01", 0}, {"host-3", "g03", 0}, {"x", "unknown", 0}};
  ASSERT_EQ(Download(u"c1", 10), kDownloadLeftUnconfirmed);
  EXPECT_THAT(Rows(),
              ElementsAre(Row(u"L-g01", {u"g01", u"new"}), Row(u"host-3", {u"g03", u"new"})));
  // g02 went unconfirmed: the ctag stays, so the next pass offers it again, and only it.
  EXPECT_EQ(StoredCtag(), u"");
  EXPECT_TRUE(LogCapture::Has(capture_.Sync(),
                              "[Info][ProcessDownloadStructData] The host did not confirm 1 "
                              "records and 0 deletions,ctag not updated"));
  host_.updateAnswer.items = {{"host-2", "g02", 0}};
  host_.ClearCalls();
  ASSERT_EQ(Download(u"c1", 10), 0);
  EXPECT_THAT(Deliveries(), ElementsAre(Delivery(1, 0)));
  EXPECT_EQ(StoredCtag(), u"c1");
}

TEST_F(DownloadPassTest, AFailedSecondBatchKeepsTheFirstAndNotTheCtag) {
  SeedCloud(6, 0);
  host_.updateConfirmsAll = true;
  cloud_.failAt["DownloadData"] = {2, 0};  // no response
  EXPECT_EQ(Download(u"c1", 3), QUILLET_NO_RESPONSE);
  EXPECT_EQ(Rows().size(), 3u);
  EXPECT_EQ(StoredCtag(), u"");
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Download data failed,errorCode is 0"));
  std::vector<std::string> replies;
  for (const auto& call : host_.CallsOf("ReportEvent")) {
    if (call.texts[0] != "REPORT") continue;
    for (const auto& pair : call.pairs) {
      if (pair.first == "returnCode") replies.push_back(pair.second);
    }
  }
  EXPECT_THAT(replies, ElementsAre("0", "2004"));

  // The next pass picks up exactly what is missing.
  cloud_.failAt.clear();
  host_.ClearCalls();
  ASSERT_EQ(Download(u"c1", 3), 0);
  EXPECT_THAT(Deliveries(), ElementsAre(Delivery(3, 0)));
  EXPECT_EQ(Rows().size(), 6u);
  EXPECT_EQ(StoredCtag(), u"c1");
}

TEST_F(DownloadPassTest, EtagListFailuresAreMappedAndReported) {
  cloud_.failAt["GetEtagList"] = {1, 3};
  EXPECT_EQ(Download(u"c1", 10), QUILLET_CLOUD_LOCKED);
  const auto reports = host_.CallsOf("ReportEvent");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].texts[0], "PROPFIND");
  EXPECT_THAT(host_.CallsOf("OnDownloadSyncStart"), IsEmpty());
  EXPECT_EQ(StoredCtag(), u"");
}

TEST_F(DownloadPassTest, CloudDeletionsRemoveOnlyWhatTheHostDeleted) {
  AddRow(u"a", u"ga", u"e");
  AddRow(u"b", u"gb", u"e");
  AddRow(u"c", u"gc", u"e");
  cloud_.Put(u"gc", u"e", u"d");
  host_.deleteAnswer.items = {"a"};
  ASSERT_EQ(Download(u"c1", 10), kDownloadLeftUnconfirmed);  // b was not deleted
  EXPECT_THAT(host_.CallsOf("DeleteData")[0].textLists[0], ElementsAre("a", "b"));
  EXPECT_THAT(Rows(), ElementsAre(Row(u"b", {u"gb", u"e"}), Row(u"c", {u"gc", u"e"})));
  EXPECT_EQ(StoredCtag(), u"");
}

TEST_F(DownloadPassTest, AStopDuringTheLastDeliveryKeepsWhatTheHostStored) {
  SeedCloud(3, 1);
  host_.updateConfirmsAll = true;
  host_.onCall = [this](const testing::HostCall& call) {
    if (call.entry == "UpdateStructData") stop_ = true;
  };
  EXPECT_EQ(Download(u"c1", 10), QUILLET_STOPPED);
  EXPECT_EQ(StoredCtag(), u"");
  // The host holds all three records, so all three rows are in step...
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows.at(u"L-g01").second, u"new");
  // ...and the next pass hands nothing over twice.
  stop_ = false;
  host_.onCall = nullptr;
  host_.ClearCalls();
  ASSERT_EQ(Download(u"c1", 10), 0);
  EXPECT_THAT(Deliveries(), IsEmpty());
}

TEST_F(DownloadPassTest, StopChecksComeBeforeEachHostStep) {
  SeedCloud(8, 0);
  host_.updateConfirmsAll = true;
  stop_ = true;
  EXPECT_EQ(Download(u"c1", 10), QUILLET_STOPPED);
  EXPECT_THAT(host_.Calls(), IsEmpty());

  // A stop during a full batch delivery takes effect at the next record, rows written.
  stop_ = false;
  host_.onCall = [this](const testing::HostCall& call) {
    if (call.entry == "UpdateStructData") stop_ = true;
  };
  EXPECT_EQ(Download(u"c1", 4), QUILLET_STOPPED);
  EXPECT_THAT(Deliveries(), ElementsAre(Delivery(4, 0)));
  EXPECT_EQ(Rows().size(), 4u);
}

}  // namespace
}  // namespace quillet
