#include <gmock/gmock.h>

#include "sync/engine/passes.h"
#include "sync/store/store_test_support.h"

namespace quillet {
namespace {

using ::testing::HasSubstr;

class CheckAndInsertCtagTest : public store_testing::StoreTest {};

TEST_F(CheckAndInsertCtagTest, InsertsAnEmptyRowOnceAndKeepsAnExistingOne) {
  ASSERT_TRUE(Init());
  DataBaseOperator& store = DataBaseOperator::GetInstance();
  EXPECT_TRUE(CheckAndInsertCtag(u"bookmark"));
  CtagItem row{u"x", u"x", u"x"};
  ASSERT_TRUE(store.GetCtagDataItem(row, u"bookmark"));
  EXPECT_TRUE(row.ctag_value.empty());
  EXPECT_TRUE(row.sync_token.empty());

  ASSERT_TRUE(store.UpdateCtagData(u"bookmark", u"c1"));
  EXPECT_TRUE(CheckAndInsertCtag(u"bookmark"));
  ASSERT_TRUE(store.GetCtagDataItem(row, u"bookmark"));
  EXPECT_EQ(WideToUtf8(row.ctag_value), "c1");
  EXPECT_THAT(SyncLog(), HasSubstr("[Info][CheckAndInsertCtag] Insert ctag success"));
}

TEST_F(CheckAndInsertCtagTest, FailsWhenTheRowCannotBeInserted) {
  ASSERT_TRUE(Init());
  std::filesystem::remove(DbFile());
  EXPECT_FALSE(CheckAndInsertCtag(u"bookmark"));
  EXPECT_THAT(SyncLog(), HasSubstr("[Error][CheckAndInsertCtag] Insert ctag failed"));
  EXPECT_THAT(ErrorLog(), HasSubstr("InsertCtagData(), connect db failed."));
}

}  // namespace
}  // namespace quillet
