#include "sync/testing/pass_fixture.h"

#include "sync/common/active_adapter.h"
#include "sync/engine/passes.h"
#include "sync/interface/sync_process_adapter_c.h"
#include "sync/log/logger.h"
#include "sync/store/database_operator.h"

namespace quillet {
namespace testing {

PassTest::PassTest() {
  config_.SyncType = u"browser";
  config_.UserID = u"user";
  config_.SyncServerUrl = u"https://127.0.0.1:1/";
  EXPECT_TRUE(InitLogger(Utf8ToWide(tmp_.path())));
  EXPECT_TRUE(DataBaseOperator::GetInstance().IntiDataBase(u"user", Utf8ToWide(tmp_.path() + "/")));
  EXPECT_TRUE(CheckAndInsertCtag(u"bookmark"));
  SetActiveAdapter(std::make_shared<SyncProcessAdapter_c>(host_.Callbacks()));
}

PassTest::~PassTest() {
  SetActiveAdapter(nullptr);
  EXPECT_EQ(host_.OutstandingArrays(), 0u);
  EXPECT_TRUE(host_.FreeErrors().empty());
}

int PassTest::Download(const WString& currentCtag, int batch) {
  return ProcessDownloadStructData(config_, u"bookmark", batch, currentCtag, &cloud_, stop_);
}

int PassTest::Upload(int batch) {
  return ProcessUploadStrucData(config_, u"bookmark", batch, &cloud_, stop_);
}

std::map<WString, std::pair<WString, WString>> PassTest::Rows() const {
  std::vector<EtagItem> rows;
  EXPECT_TRUE(DataBaseOperator::GetInstance().GetEtagDataItemsByType(rows, u"bookmark"));
  std::map<WString, std::pair<WString, WString>> out;
  for (const EtagItem& row : rows) out[row.luid] = {row.guid, row.etag};
  return out;
}

void PassTest::AddRow(const WString& luid, const WString& guid, const WString& etag) {
  EtagItem row;
  row.luid = luid;
  row.type = u"bookmark";
  row.guid = guid;
  row.etag = etag;
  ASSERT_TRUE(DataBaseOperator::GetInstance().InsertEtagDataBatch({row}));
}

WString PassTest::StoredCtag() const {
  CtagItem item;
  EXPECT_TRUE(DataBaseOperator::GetInstance().GetCtagDataItem(item, u"bookmark"));
  return item.ctag_value;
}

std::vector<std::pair<int, int>> PassTest::Deliveries() const {
  std::vector<std::pair<int, int>> out;
  for (const HostCall& call : host_.CallsOf("UpdateStructData")) {
    out.emplace_back(call.numbers[0], call.numbers[1]);
  }
  return out;
}

}  // namespace testing
}  // namespace quillet
