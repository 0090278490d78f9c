#include "sync/engine/change_detection.h"

#include <gmock/gmock.h>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/store/store_test_support.h"

namespace quillet {
namespace {

using store_testing::FakeHost;
using store_testing::RawDb;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

EtagItem Row(const WString& luid, const WString& guid, const WString& etag,
             const WString& type = u"note") {
  EtagItem item;
  item.luid = luid;
  item.guid = guid;
  item.etag = etag;
  item.type = type;
  return item;
}

// luid/type/guid/etag of each entry.
std::vector<std::string> Texts(const EtagList& list) {
  std::vector<std::string> texts;
  for (const EtagItem& e : list) {
    texts.push_back(WideToUtf8(e.luid + u"/" + e.type + u"/" + e.guid + u"/" + e.etag));
  }
  return texts;
}

LocalIdRecord Id(const WString& luid, int state) {
  LocalIdRecord record;
  record.luid = luid;
  record.state = state;
  return record;
}

TEST(CompareCloudToLocalEtags, SplitsByGuidWithExactEtagsAndHandsEachGuidOnOnce) {
  const EtagList local = {Row(u"l1", u"g1", u"E1"), Row(u"l2", u"g2", u"E2"),
                          Row(u"l3", u"g3", u"E3"), Row(u"l4", u"g4", u"E4")};
  const EtagList cloud = {Row(u"", u"g1", u"E1"), Row(u"", u"g2", u"e2"), Row(u"", u"g9", u"E9"),
                          Row(u"", u"g9", u"other")};
  EtagList add = {Row(u"kept", u"g0", u"E0")};
  EtagList modify;
  EtagList remove;
  CompareCloudToLocalEtags(cloud, local, add, modify, remove);
  EXPECT_THAT(Texts(add), ElementsAre("kept/note/g0/E0", "/note/g9/E9"));
  EXPECT_THAT(Texts(modify), ElementsAre("l2/note/g2/e2"));  // letter case is a change
  EXPECT_THAT(Texts(remove), ElementsAre("l3/note/g3/E3", "l4/note/g4/E4"));

  EtagList none[3];
  CompareCloudToLocalEtags(local, local, none[0], none[1], none[2]);
  for (const EtagList& list : none) EXPECT_THAT(list, IsEmpty());
}

TEST(CompareLocalToCloudEtags, ChangedRecordsByLuidAndRowsTheHostNoLongerHas) {
  const EtagList db = {Row(u"l1", u"g1", u"E1", u"old"), Row(u"l2", u"g2", u"E2", u"old"),
                       Row(u"l3", u"g3", u"E3", u"old")};
  const std::vector<LocalIdRecord> ids = {Id(u"l1", 1), Id(u"l2", 0), Id(u"l4", 1),
                                          Id(u"l5", 2), Id(u"l4", 1), Id(u"l2", 1)};
  EtagList add;
  EtagList modify;
  EtagList remove;
  CompareLocalToCloudEtags(ids, db, u"note", add, modify, remove);
  EXPECT_THAT(Texts(add), ElementsAre("l4/note//"));  // a repeated luid is uploaded once
  // l2's later entry says it changed: judged once, at its first place, and uploaded.
  EXPECT_THAT(Texts(modify), ElementsAre("l1/note/g1/", "l2/note/g2/"));
  EXPECT_THAT(Texts(remove), ElementsAre("l3/note/g3/E3"));

  EtagList all[3];
  CompareLocalToCloudEtags({}, db, u"note", all[0], all[1], all[2]);
  EXPECT_THAT(all[0], IsEmpty());
  EXPECT_THAT(all[1], IsEmpty());
  EXPECT_EQ(all[2].size(), 3u);
}

class IdentifyLocalChangeTest : public store_testing::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(Init());
    ASSERT_TRUE(DataBaseOperator::GetInstance().InsertEtagDataBatch(
        {Row(u"l1", u"g1", u"E1"), Row(u"l2", u"g2", u"E2"), Row(u"l3", u"g3", u"E3", u"other")}));
    host_->ids = {Id(u"l1", 1), Id(u"l9", 1)};
    SetActiveAdapter(host_);
  }
  void TearDown() override {
    SetActiveAdapter(nullptr);
    StoreTest::TearDown();
  }
  std::shared_ptr<FakeHost> host_ = std::make_shared<FakeHost>();
  EtagList add_, modify_, remove_;
};

TEST_F(IdentifyLocalChangeTest, ComparesTheHostsIdsWithTheTypesRowsThenTellsTheHost) {
  EXPECT_EQ(IdentifyLocalChange(u"note", add_, modify_, remove_), 0);
  EXPECT_THAT(Texts(add_), ElementsAre("l9/note//"));
  EXPECT_THAT(Texts(modify_), ElementsAre("l1/note/g1/"));
  // A removal needs the row's luid and guid only; its etag is not read.
  EXPECT_THAT(Texts(remove_), ElementsAre("l2/note/g2/"));
  EXPECT_THAT(host_->calls, ElementsAre("QueryLocalIds note 1", "OnUploadSyncStart note"));
  const std::string sync = SyncLog();
  EXPECT_THAT(sync, HasSubstr("[Info][IdentifyLocalChange] The number of local record is 2"));
  EXPECT_THAT(sync, HasSubstr("[Info][IdentifyLocalChange] The number of db record is 2"));
  EXPECT_THAT(sync, HasSubstr("[Info][PrintLogForLocalChange] The number of local-modify is 1"));
  EXPECT_THAT(sync, HasSubstr("[Info][IdentifyLocalChange] End call OnUploadSyncStart"));
  const std::string info = InfoLog();
  EXPECT_THAT(info, HasSubstr("Local added records:"));
  EXPECT_THAT(info, HasSubstr("[ProcessUploadStrucData] Local modified,luid:l1"));
  EXPECT_THAT(info, HasSubstr("[ProcessUploadStrucData] Local deleted,luid:l2"));
}

TEST_F(IdentifyLocalChangeTest, UnreadableRowsEndWith2006BeforeTheHostIsTold) {
  RawDb(DbFile()).Exec("DROP TABLE etag;");
  EXPECT_EQ(IdentifyLocalChange(u"note", add_, modify_, remove_), QUILLET_ETAGS_UNREADABLE);
  EXPECT_THAT(add_, IsEmpty());
  EXPECT_THAT(remove_, IsEmpty());
  EXPECT_THAT(host_->calls, ElementsAre("QueryLocalIds note 1"));
  EXPECT_THAT(ErrorLog(), HasSubstr("Get etag form database failed,end sync"));
  EXPECT_THAT(SyncLog(),
              HasSubstr("[Error][IdentifyLocalChange] Get etag form database failed,end sync"));
}

TEST_F(IdentifyLocalChangeTest, WithoutAHostNothingReadsAsDeleted) {
  SetActiveAdapter(nullptr);
  EXPECT_EQ(IdentifyLocalChange(u"note", add_, modify_, remove_), QUILLET_INTERNAL_ERROR);
  EXPECT_THAT(remove_, IsEmpty());
}

}  // namespace
}  // namespace quillet
