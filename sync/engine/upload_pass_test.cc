#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillet.h"
#include "sync/engine/cloud_writes.h"
#include "sync/testing/pass_fixture.h"

namespace quillet {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LocalIdAnswerItem;
using testing::LogCapture;
using Row = std::pair<WString, std::pair<WString, WString>>;

class UploadPassTest : public testing::PassTest {
 protected:
  UploadPassTest() { host_.queryEchoesLuids = true; }
  void LocalIds(std::vector<LocalIdAnswerItem> ids) { host_.localIdAnswer.items = std::move(ids); }
  std::vector<size_t> Requests(const std::string& operation) const {
    std::vector<size_t> out;
    for (const auto& request : cloud_.requests) {
      if (request.first == operation) out.push_back(request.second);
    }
    return out;
  }
};

TEST_F(UploadPassTest, NoLocalChangesMakeNoRequest) {
  LocalIds({{"1", 0, 0, 0}});
  AddRow(u"1", u"g1", u"e1");
  EXPECT_EQ(Upload(10), 0);
  EXPECT_THAT(host_.EntryNames(),
              ElementsAre("QueryLocalIds", "FreeLocalIdList", "OnUploadSyncStart"));
  EXPECT_THAT(cloud_.requests, IsEmpty());
}

TEST_F(UploadPassTest, AdditionsGoInBatchesAndGetTheirRows) {
  std::vector<LocalIdAnswerItem> ids;
  for (int i = 0; i < 10; ++i) ids.push_back({"n" + std::to_string(i), 1, 0, 0});
  LocalIds(ids);
  ASSERT_EQ(Upload(4), 0);
  EXPECT_THAT(Requests("AddData"), ElementsAre(4, 4, 2));
  EXPECT_EQ(host_.CallsOf("DataQueryByID").size(), 3u);
  const auto results = host_.CallsOf("UpdateSyncResult");
  ASSERT_EQ(results.size(), 3u);
  EXPECT_THAT(results[2].numbers, ElementsAre(2, 0, 0, 0));
  const auto& first = results[0].records[0][0];
  EXPECT_EQ(first.at("luid"), "n0");
  EXPECT_EQ(first.at("guid"), "g1");
  EXPECT_EQ(first.at("etag"), "e101");
  EXPECT_EQ(first.at("numberB"), "2");
  EXPECT_EQ(Rows().size(), 10u);
  EXPECT_EQ(cloud_.records.at(u"g1").data, u"data-n0");

  // Uploaded records are not additions any more; unchanged state means nothing to send.
  for (auto& id : host_.localIdAnswer.items) id.state = 0;
  cloud_.requests.clear();
  ASSERT_EQ(Upload(4), 0);
  EXPECT_THAT(cloud_.requests, IsEmpty());
}

TEST_F(UploadPassTest, AFailedAdditionBatchEndsThePass) {
  LocalIds({{"a", 1, 0, 0}, {"b", 1, 0, 0}, {"m", 1, 0, 0}});
  AddRow(u"m", u"gm", u"e");
  AddRow(u"gone", u"gg", u"e");
  cloud_.Put(u"gm", u"e", u"d");
  cloud_.failAt["AddData"] = {1, 500};
  EXPECT_EQ(Upload(10), 500);
  EXPECT_EQ(cloud_.CountOf("UpdateData"), 0u);
  EXPECT_EQ(cloud_.CountOf("RemoveData"), 0u);
  EXPECT_THAT(host_.CallsOf("UpdateSyncResult"), IsEmpty());
  EXPECT_TRUE(
      LogCapture::Has(capture_.Error(), "CloudAddAndInsertEtag failed,end sync,errorCode is 500"));
}

TEST_F(UploadPassTest, ModificationsUploadOnlyRecordsOfTheStageAndReportLocalIds) {
  LocalIds({{"m1", 1, 0, 0}, {"m2", 1, 0, 0}, {"same", 0, 0, 0}});
  AddRow(u"m1", u"g-m1", u"old");
  AddRow(u"m2", u"g-m2", u"old");
  AddRow(u"same", u"g-same", u"old");
  cloud_.Put(u"g-m1", u"old", u"x");
  cloud_.Put(u"g-m2", u"old", u"x");
  cloud_.Put(u"g-same", u"old", u"x");
  host_.queryEchoesLuids = false;
  host_.queryAnswer.items = {{"m1", "new-1", "", {}}, {"stranger", "zzz", "", {}}};
  ASSERT_EQ(Upload(10), 0);
  EXPECT_THAT(Requests("UpdateData"), ElementsAre(1));
  EXPECT_EQ(cloud_.records.at(u"g-m1").data, u"new-1");
  const auto results = host_.CallsOf("UpdateSyncResult");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].records[1][0].at("luid"), "m1");
  EXPECT_EQ(results[0].records[1][0].at("guid"), "g-m1");
  const WString newEtag = Utf8ToWide(results[0].records[1][0].at("etag"));
  EXPECT_EQ(newEtag, cloud_.records.at(u"g-m1").etag);
  EXPECT_EQ(Rows().at(u"m1").second, newEtag);
  EXPECT_EQ(Rows().at(u"m2").second, u"old");
}

TEST_F(UploadPassTest, DeletionsRemoveRowsAndTheLastBatchIgnoresAStop) {
  LocalIds({});
  for (const char16_t* luid : {u"a", u"b", u"c"}) {
    AddRow(luid, WString(u"g-") + luid, u"e");
    cloud_.Put(WString(u"g-") + luid, u"e", u"d");
  }
  host_.onCall = [this](const testing::HostCall& call) {
    if (call.entry == "UpdateSyncResult") stop_ = true;
  };
  // Batch 2: the first full batch runs, the stop comes with its result, the last
  // incomplete batch is still sent.
  EXPECT_EQ(Upload(2), 0);
  EXPECT_THAT(Requests("RemoveData"), ElementsAre(2, 1));
  EXPECT_THAT(Rows(), IsEmpty());
  EXPECT_TRUE(cloud_.records.empty());
}

TEST_F(UploadPassTest, AFullBookmarkCollectionAnswers50001) {
  LocalIds({{"a", 1, 0, 0}});
  cloud_.addRequestCode = 50001;
  cloud_.itemStatus[u"a"] = 50001;
  EXPECT_EQ(Upload(10), QUILLET_LIMIT_REACHED);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Upload failed,exceed limit"));
  EXPECT_THAT(Rows(), IsEmpty());
}

class CloudWritesTest : public testing::PassTest {};

TEST_F(CloudWritesTest, AcceptedAddsAreRecordedWhateverTheOthersDid) {
  cloud_.addRequestCode = 207;
  cloud_.itemStatus[u"b"] = 500;
  StructList results;
  EXPECT_EQ(CloudAddAndInsertEtag(&cloud_, u"bookmark", {{u"c", u"3"}, {u"a", u"1"}, {u"b", u"2"}},
                                  results),
            0);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].luid, u"a");  // judged in ascending luid order
  EXPECT_EQ(results[1].luid, u"c");
  EXPECT_EQ(Rows().size(), 2u);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(),
                              "[CloudAddAndInsertEtag] Upload failed,luid:b,errorCode:500"));

  // A failing request still records what it accepted.
  cloud_.addRequestCode = 0;
  results.clear();
  EXPECT_EQ(CloudAddAndInsertEtag(&cloud_, u"bookmark", {{u"d", u"4"}}, results),
            QUILLET_NO_RESPONSE);
  EXPECT_EQ(Rows().count(u"d"), 1u);
  EXPECT_EQ(CloudAddAndInsertEtag(&cloud_, u"bookmark", {}, results), 0);
}

TEST_F(CloudWritesTest, TheLimitIsRecognisedPerTypeName) {
  StructList results;
  cloud_.addRequestCode = 70001;
  EXPECT_EQ(CloudAddAndInsertEtag(&cloud_, u"pcbookmark", {{u"a", u"1"}}, results),
            QUILLET_LIMIT_REACHED);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Upload failed,exceed limit"));
  capture_.Reset();
  EXPECT_EQ(CloudAddAndInsertEtag(&cloud_, u"bookmark", {{u"b", u"1"}}, results), 70001);
  EXPECT_FALSE(LogCapture::Has(capture_.Error(), "Upload failed,exceed limit"));
  EXPECT_TRUE(IsExceedLimit(u"bookmark", 50001));
  EXPECT_FALSE(IsExceedLimit(u"Bookmark", 50001));
  EXPECT_FALSE(IsExceedLimit(u"pcbookmark", 50001));
}

TEST_F(CloudWritesTest, TheLastRejectedUpdateDecidesTheResult) {
  AddRow(u"1", u"ga", u"old");
  AddRow(u"2", u"gb", u"old");
  cloud_.Put(u"ga", u"old", u"");
  cloud_.Put(u"gb", u"old", u"");
  cloud_.itemStatus[u"ga"] = 404;
  cloud_.itemStatus[u"gb"] = 0;
  StructList results;
  EXPECT_EQ(CloudUpdateAndInsertEtag(&cloud_, u"bookmark", {{u"gb", u"x"}, {u"ga", u"y"}}, results),
            QUILLET_NO_RESPONSE);
  EXPECT_THAT(results, IsEmpty());
  EXPECT_THAT(Rows(), ElementsAre(Row(u"1", {u"ga", u"old"}), Row(u"2", {u"gb", u"old"})));
}

TEST_F(CloudWritesTest, RejectedRemovalsNeverFail) {
  AddRow(u"1", u"ga", u"e");
  TextList deleted;
  EXPECT_EQ(CloudDelAndDelEtag(&cloud_, u"bookmark", {u"ga"}, deleted), 0);  // 404: unknown
  EXPECT_THAT(deleted, IsEmpty());
  EXPECT_EQ(Rows().size(), 1u);
  EXPECT_TRUE(
      LogCapture::Has(capture_.Info(), "[CloudDelAndDelEtag] Upload failed,guid:ga,errorCode:404"));
}

TEST_F(CloudWritesTest, UpdatesAndRemovalsWithoutAnAnswerFailAndChangeNoRow) {
  AddRow(u"1", u"ga", u"old");
  cloud_.Put(u"ga", u"old", u"");
  cloud_.failAt["UpdateData"] = {1, 0};
  cloud_.failAt["RemoveData"] = {1, 503};
  StructList results;
  EXPECT_EQ(CloudUpdateAndInsertEtag(&cloud_, u"bookmark", {{u"ga", u"x"}}, results),
            QUILLET_NO_RESPONSE);
  EXPECT_THAT(results, IsEmpty());
  TextList deleted;
  EXPECT_EQ(CloudDelAndDelEtag(&cloud_, u"bookmark", {u"ga"}, deleted), 503);
  EXPECT_THAT(deleted, IsEmpty());
  EXPECT_THAT(Rows(), ElementsAre(Row(u"1", {u"ga", u"old"})));
}

}  // namespace
}  // namespace quillet
