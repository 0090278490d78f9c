// The session's first call of a round opens the real store and ensures the data type's ctag
// row; the round's end writes the ctag there. Only the protocol client and the passes are
// scripted.
#include <gmock/gmock.h>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/log/md5.h"
#include "sync/session/sync_session.h"
#include "sync/store/store_test_support.h"
#include "sync/testing/fake_net.h"

namespace quillet {
namespace {

class StoreInSessionTest : public store_testing::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    SetActiveAdapter(std::make_shared<store_testing::FakeHost>());
  }
  void TearDown() override {
    SetActiveAdapter(nullptr);
    StoreTest::TearDown();
  }

  // DbPath without its trailing separator: the session adds it.
  SyncSession MakeSession(const std::string& dbPath) {
    NetConfig config{u"browser",
                     u"token",
                     u"user-1",
                     u"app",
                     Utf8ToWide(dbPath),
                     Utf8ToWide(root_ + "/logs"),
                     u"https://127.0.0.1/"};
    SessionServices services = SessionServices::Default();
    services.createNetInterface = [script = script_](const NetConfig&) -> NetInterfacePtr {
      return std::make_unique<testing::FakeNet>(script);
    };
    services.downloadPass = [](NetConfig, const WString&, int, const WString&, INetInterface*,
                               const std::atomic<bool>&) { return 0; };
    services.uploadPass = [](NetConfig, const WString&, int, INetInterface*,
                             const std::atomic<bool>&) { return 0; };
    return SyncSession(config, services);
  }

  std::shared_ptr<testing::FakeNetScript> script_ = std::make_shared<testing::FakeNetScript>();
};

TEST_F(StoreInSessionTest, FirstCallOpensTheStoreAndTheRoundsEndStoresTheCtag) {
  script_->unlockCtags = testing::Ctags({{u"bookmark", u"ctag-after"}});
  SyncSession session = MakeSession(root_ + "/data");
  EXPECT_EQ(session.SyncData(u"browser", u"bookmark", 1, 50), 0);
  EXPECT_TRUE(
      std::filesystem::exists(root_ + "/data/Quillet/" + Md5Hex("user-1") + "/Quillet.dat"));
  DataBaseOperator& store = DataBaseOperator::GetInstance();
  CtagItem row;
  ASSERT_TRUE(store.GetCtagDataItem(row, u"bookmark"));
  EXPECT_EQ(WideToUtf8(row.ctag_name), "bookmark");
  EXPECT_TRUE(row.ctag_value.empty());

  session.EndSync(u"browser");
  ASSERT_TRUE(store.GetCtagDataItem(row, u"bookmark"));
  EXPECT_EQ(WideToUtf8(row.ctag_value), "ctag-after");
}

TEST_F(StoreInSessionTest, StoreThatCannotBeMadeEndsTheFirstCallWith2007BeforeTheLock) {
  std::ofstream(root_ + "/plain-file") << "not a directory";
  SyncSession session = MakeSession(root_ + "/plain-file/data");
  EXPECT_EQ(session.SyncData(u"browser", u"bookmark", 1, 50), QUILLET_STORE_FAILED);
  EXPECT_EQ(script_->lockCalls.load(), 0);
  EXPECT_TRUE(session.isFirstSync());
}

}  // namespace
}  // namespace quillet
