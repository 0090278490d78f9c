#include "sync/session/sync_session.h"

#include <map>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/interface/sync_process_adapter_c.h"
#include "sync/log/logger.h"
#include "sync/platform/platform.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/session_fixture.h"
#include "sync/testing/temp_dir.h"
#include "sync/testing/test_host.h"

namespace quillet {
namespace {

using testing::Ctags;
using ::testing::ElementsAre;
using testing::HostCall;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::ScriptedServices;
using testing::TempDir;
using testing::TestHost;
using Pair = std::pair<WString, WString>;

std::map<std::string, std::string> PairsOf(const HostCall& call) {
  return {call.pairs.begin(), call.pairs.end()};
}

class SyncSessionTest : public ::testing::Test {
 protected:
  SyncSessionTest() {
    SetActiveAdapter(std::make_shared<SyncProcessAdapter_c>(host_.Callbacks()));
    config_.SyncType = u"browser";
    config_.AT = u"token";
    config_.UserID = u"user";
    config_.AppID = u"app";
    config_.DbPath = Utf8ToWide(tmp_ / "db");
    config_.LogPath = Utf8ToWide(tmp_.path());
    config_.SyncServerUrl = u"https://127.0.0.1:1";
    script_.net->lockCtags = Ctags({{u"bookmark", u"c-lock"}, {u"contact", u"k-lock"}});
    script_.net->unlockCtags = Ctags({{u"bookmark", u"c-end"}, {u"contact", u"k-end"}});
  }
  ~SyncSessionTest() override { SetActiveAdapter(nullptr); }

  SyncSession& Session() {
    if (!session_) session_ = std::make_unique<SyncSession>(config_, script_.Services());
    return *session_;
  }
  int Sync(const WString& dataType, int order, int batch = 50) {
    return Session().SyncData(u"browser", dataType, order, batch);
  }
  std::vector<std::string> Sync_() const { return capture_.Sync(); }
  std::vector<HostCall> Reports(const std::string& businessId) const {
    std::vector<HostCall> out;
    for (const HostCall& call : host_.CallsOf("ReportEvent")) {
      if (call.texts[0] == businessId) out.push_back(call);
    }
    return out;
  }

  TempDir tmp_;
  LogCapture capture_{tmp_.path()};
  TestHost host_;
  NetConfig config_;
  ScriptedServices script_;
  std::unique_ptr<SyncSession> session_;
};

TEST_F(SyncSessionTest, FirstCallOfARoundMustHaveOrderOne) {
  EXPECT_EQ(Sync(u"bookmark", 2), QUILLET_INVALID_CALL);
  EXPECT_TRUE(LogCapture::Has(
      Sync_(), "[Info][CheckSyncDataOrder] Check order error,isFirstSync=1,order=2"));
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Check order error,isFirstSync=1,order=2"));
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Check order failed,end sync"));
  const auto reports = Reports("local_SyncData");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(PairsOf(reports[0]).at("syncInfo"), "Check order failed,end sync");
  EXPECT_EQ(PairsOf(reports[0]).count("returnCode"), 0u);
  EXPECT_TRUE(Session().isFirstSync());
  EXPECT_FALSE(Session().dataTypeOk().at(u"bookmark"));
  EXPECT_EQ(script_.net->lockCalls, 0);

  // The next call with order 1 opens the round normally.
  EXPECT_EQ(Sync(u"bookmark", 1), 0);
  EXPECT_EQ(script_.net->lockCalls, 1);
  EXPECT_FALSE(Session().isFirstSync());
  EXPECT_TRUE(Session().dataTypeOk().at(u"bookmark"));
  ASSERT_EQ(script_.downloads.size(), 1u);
  EXPECT_EQ(script_.downloads[0].ctag, u"c-lock");
  EXPECT_EQ(script_.downloads[0].batchNumber, 50);
  EXPECT_TRUE(LogCapture::Has(Sync_(), "[Info][GetCurrentCtag] Current ctag: c-lock"));
  EXPECT_TRUE(
      LogCapture::Has(Sync_(), "[Info][GetLock] First call in this round of sync,get lock"));
  const auto lock = Reports("LOCK");
  ASSERT_EQ(lock.size(), 1u);
  EXPECT_EQ(PairsOf(lock[0]).at("returnCode"), "0");
  EXPECT_EQ(PairsOf(lock[0]).at("syncInfo"), "Get lock success");
}

TEST_F(SyncSessionTest, LaterCallsOfARoundRunWithoutANewLockInAnyOrder) {
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  capture_.Reset();
  EXPECT_EQ(Sync(u"contact", 7), 0);
  EXPECT_EQ(script_.net->lockCalls, 1);
  EXPECT_EQ(script_.clientsMade, 1);
  EXPECT_EQ(script_.dbOpens.size(), 1u);
  EXPECT_TRUE(LogCapture::Has(
      Sync_(), "[Info][GetLock] Not the first call syncData in this round,no need to get lock"));
  EXPECT_TRUE(LogCapture::Has(
      Sync_(), "[Info][SyncData] SyncType:browser,dataType:contact,order:7,batchNumber:50"));
  EXPECT_EQ(script_.downloads.back().ctag, u"k-lock");
  EXPECT_THAT(script_.ctagRows, ElementsAre(u"bookmark", u"contact"));
}

TEST_F(SyncSessionTest, LockStatusesMapToReportCodesAndTheCallFailsWith1001) {
  const std::pair<int, std::string> cases[] = {
      {3, "2009"}, {0, "2004"}, {500, "500"}, {199, "199"}};
  // Each 1001 also gets a line that says which case it is.
  const std::map<int, std::string> causes = {
      {3, "Get lock failed: another device holds the cloud lock (2009), try again later"},
      {0, "Get lock failed: no answer from the service (the line before says why: the URL is "
          "not https, Cacert.pem is missing beside the executable, or the server cannot be "
          "reached)"},
      {500, "Get lock failed: the service refused the lock with status 500"},
      {199, "Get lock failed: the service refused the lock with status 199"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    session_.reset();
    host_.ClearCalls();
    capture_.Reset();
    script_.net->lockStatus = c.first;
    EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_LOCK_FAILED);
    const auto lock = Reports("LOCK");
    ASSERT_EQ(lock.size(), 1u);
    EXPECT_EQ(PairsOf(lock[0]).at("returnCode"), c.second);
    const std::string text = "Get lock failed,error code:" + std::to_string(c.first) + ",end sync";
    EXPECT_EQ(PairsOf(lock[0]).at("syncInfo"), text);
    EXPECT_TRUE(LogCapture::Has(capture_.Error(), text));
    EXPECT_TRUE(LogCapture::Has(capture_.Error(), causes.at(c.first)));
    EXPECT_THAT(host_.CallsOf("OnDataSyncEnd"), IsEmpty());
    EXPECT_FALSE(Session().dataTypeOk().at(u"bookmark"));
    // The round is open: the next call does not try to lock again.
    const int locks = script_.net->lockCalls;
    Sync(u"bookmark", 1);
    EXPECT_EQ(script_.net->lockCalls, locks);
  }
  script_.net->lockStatus = 300;  // the upper edge still counts as success
  session_.reset();
  EXPECT_EQ(Sync(u"bookmark", 1), 0);
}

TEST_F(SyncSessionTest, EndSyncStoresCtagsOnlyForTypesThatDidNotFail) {
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  ASSERT_EQ(Sync(u"bookmark", 2), 0);
  script_.uploadCode = 2027;
  EXPECT_EQ(Sync(u"contact", 3), 2027);
  EXPECT_TRUE(LogCapture::Has(Sync_(),
                              "[Warning][StartSync] ProcessUploadStrucData failed,errorCode:2027"));
  capture_.Reset();
  host_.ClearCalls();

  Session().EndSync(u"browser");
  const auto lines = Sync_();
  EXPECT_TRUE(LogCapture::Has(
      lines, "[Info][EndSync] The types included in this sync task are bookmark,contact"));
  EXPECT_TRUE(LogCapture::Has(
      lines, "[Info][UpdateCtagWhileEndSync] DataType:bookmark,current ctag:c-end"));
  EXPECT_TRUE(LogCapture::Has(
      lines,
      "[Info][UpdateCtagWhileEndSync] Need to update ctag while end sync,dataType: bookmark"));
  EXPECT_TRUE(LogCapture::Has(lines, "[Info][UpdateCtagWhileEndSync] Update bookmark success"));
  EXPECT_TRUE(LogCapture::Has(
      lines,
      "[Info][UpdateCtagWhileEndSync] No need to update ctag while end sync,dataType: contact"));
  EXPECT_THAT(script_.ctagUpdates, ElementsAre(Pair(u"bookmark", u"c-end")));
  EXPECT_TRUE(Session().isFirstSync());
  EXPECT_THAT(Session().roundDataTypes(), IsEmpty());
  EXPECT_EQ(script_.net->unlockCalls, 1);

  // Unlock report, then OnSyncEnd, then the round-end report.
  EXPECT_THAT(host_.EntryNames(), ElementsAre("ReportEvent", "OnSyncEnd", "ReportEvent"));
  const auto unlock = Reports("UNLOCK");
  ASSERT_EQ(unlock.size(), 1u);
  EXPECT_EQ(PairsOf(unlock[0]).at("syncInfo"), "Unlock success");
  EXPECT_EQ(PairsOf(unlock[0]).at("returnCode"), "200");
  const auto end = Reports("local_OnSyncEnd");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(PairsOf(end[0]).at("endTrace"), "1");
  EXPECT_EQ(PairsOf(end[0]).at("returnCode"), "0");
  EXPECT_EQ(PairsOf(end[0]).at("syncInfo"),
            "The types included in this sync task are bookmark,contact");
  EXPECT_EQ(PairsOf(unlock[0]).at("endTrace"), "0");
}

// Once the client knows the round's lock lost, every call of the round fails with 1001
// (the passes of a call that starts after the loss do not run), the loss is reported once,
// and EndSync releases the lock but stores no ctag, not even of a type synced before.
TEST_F(SyncSessionTest, ALostLockFailsTheRoundsCallsWith1001AndStoresNoCtag) {
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  script_.net->lockLost = true;
  EXPECT_EQ(Sync(u"contact", 2), QUILLET_LOCK_FAILED);
  EXPECT_EQ(Sync(u"bookmark", 3), QUILLET_LOCK_FAILED);
  EXPECT_EQ(script_.downloads.size(), 1u);
  EXPECT_EQ(script_.uploads.size(), 1u);
  const auto lost = Reports("LOCK");
  ASSERT_EQ(lost.size(), 2u);  // the lock taken, then its loss
  EXPECT_EQ(PairsOf(lost[1]).at("returnCode"), "1001");
  EXPECT_EQ(PairsOf(lost[1]).at("syncInfo").rfind("Lock lost,error code:1001", 0), 0u);
  EXPECT_TRUE(LogCapture::HasPrefix(Sync_(), "[Error][StartSync] Lock lost,error code:1001"));

  Session().EndSync(u"browser");
  EXPECT_EQ(script_.net->unlockCalls, 1);
  EXPECT_THAT(script_.ctagUpdates, IsEmpty());
  EXPECT_EQ(Reports("LOCK").size(), 2u);

  // The next round's lock holds: its ctags are stored again.
  script_.net->lockLost = false;
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  Session().EndSync(u"browser");
  EXPECT_THAT(script_.ctagUpdates, ElementsAre(Pair(u"bookmark", u"c-end")));
}

TEST_F(SyncSessionTest, UnlockStatusDecidesTheCtagUpdate) {
  script_.net->unlockStatus = 204;
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  Session().EndSync(u"browser");
  EXPECT_EQ(PairsOf(Reports("UNLOCK")[0]).at("syncInfo"), "Unlock failed,error code:204");
  EXPECT_THAT(script_.ctagUpdates, ElementsAre(Pair(u"bookmark", u"c-end")));

  script_.ctagUpdates.clear();
  script_.net->unlockStatus = 500;
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  Session().EndSync(u"browser");
  EXPECT_THAT(script_.ctagUpdates, IsEmpty());
  EXPECT_TRUE(Session().isFirstSync()) << "a failed unlock still closes the round";
  EXPECT_EQ(host_.CallsOf("OnSyncEnd").size(), 2u);
}

TEST_F(SyncSessionTest, EndSyncWithoutAClientSendsNothing) {
  Session().EndSync(u"browser");
  EXPECT_EQ(script_.net->unlockCalls, 0);
  EXPECT_THAT(host_.Calls(), IsEmpty());
  EXPECT_TRUE(Session().isFirstSync());
}

TEST_F(SyncSessionTest, EachRoundGetsANewClientAndReopensLogsAndStore) {
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  Session().EndSync(u"browser");
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  EXPECT_EQ(script_.clientsMade, 2);
  EXPECT_EQ(script_.net->destroyed, 1);
  EXPECT_EQ(script_.net->lockCalls, 2);
  EXPECT_EQ(script_.dbOpens.size(), 2u);
  EXPECT_EQ(script_.loggerDirs.size(), 2u);
  session_.reset();
  EXPECT_EQ(script_.net->destroyed, 2);
  EXPECT_EQ(script_.net->unlockCalls, 1) << "destroying a session sends no unlock";
}

TEST_F(SyncSessionTest, ARoundUsesOnlyItsOwnLockCtags) {
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  Session().EndSync(u"browser");
  script_.net->lockCtags = Ctags({{u"contact", u"k2"}});
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  EXPECT_EQ(script_.downloads.back().ctag, u"");
}

TEST_F(SyncSessionTest, PathsAndUrlGetTheirTrailingSeparatorOnce) {
  const WString db = Utf8ToWide(tmp_ / "db") + platform::kPathSeparator;
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  EXPECT_EQ(Session().config().SyncServerUrl, u"https://127.0.0.1:1/");
  EXPECT_EQ(Session().config().DbPath, db);
  EXPECT_EQ(Session().config().LogPath, Utf8ToWide(tmp_.path()) + platform::kPathSeparator);
  ASSERT_EQ(script_.dbOpens.size(), 1u);
  EXPECT_EQ(script_.dbOpens[0], Pair(u"user", db));
  Session().EndSync(u"browser");
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  EXPECT_EQ(Session().config().SyncServerUrl, u"https://127.0.0.1:1/");
  EXPECT_EQ(script_.dbOpens[1].second, db);
  // The reports carry the normalised address.
  EXPECT_EQ(PairsOf(Reports("LOCK").back()).at("domain"), "https://127.0.0.1:1/");
}

TEST_F(SyncSessionTest, ValidationChecksEachFieldInOrder) {
  const struct {
    WString NetConfig::*field;
    const char* text;
  } fields[] = {{&NetConfig::AT, "AT is empty"},
                {&NetConfig::AppID, "AppID is empty"},
                {&NetConfig::UserID, "UserID is empty"},
                {&NetConfig::SyncType, "SyncType is empty"},
                {&NetConfig::DbPath, "DbPath is empty"},
                {&NetConfig::LogPath, "LogPath is empty"},
                {&NetConfig::SyncServerUrl, "SyncServerUrl is empty"}};
  ASSERT_TRUE(InitLogger(Utf8ToWide(tmp_.path())));  // validation runs before logging starts
  const NetConfig valid = config_;
  for (const auto& f : fields) {
    SCOPED_TRACE(f.text);
    config_ = valid;
    config_.*f.field = u"";
    config_.SyncServerUrl = f.field == &NetConfig::SyncServerUrl ? u"" : valid.SyncServerUrl;
    session_.reset();
    capture_.Reset();
    EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_INVALID_CALL);
    EXPECT_EQ(capture_.Error(),
              std::vector<std::string>{"[" + std::to_string(platform::ProcessId()) + "]" + f.text});
    EXPECT_TRUE(LogCapture::Has(Sync_(), "[Info][SyncData] Check validate failed,end sync"));
    EXPECT_FALSE(Session().dataTypeOk().at(u"bookmark"));
  }
  EXPECT_TRUE(script_.loggerDirs.empty());
  EXPECT_EQ(script_.clientsMade, 0);

  config_ = valid;
  session_.reset();
  SetActiveAdapter(nullptr);
  capture_.Reset();
  EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_INVALID_CALL);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "SyncProcessAdapter is empty"));
}

TEST_F(SyncSessionTest, FailuresBeforeTheLockKeepTheRoundUnopened) {
  script_.loggerOk = false;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_NO_CLIENT);
  // With no log to write to, the cause goes to stderr.
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "logging cannot start (log4cpp.nt.property missing"),
            std::string::npos);
  EXPECT_FALSE(Session().dataTypeOk().at(u"bookmark"));
  EXPECT_TRUE(script_.dbOpens.empty());

  script_.loggerOk = true;
  script_.dbOk = false;
  EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_STORE_FAILED);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Init database failed"));
  EXPECT_TRUE(LogCapture::Has(Sync_(), "[Error][InitCloudSync] Init database failed"));
  EXPECT_EQ(script_.clientsMade, 0);

  script_.dbOk = true;
  script_.clientExists = false;
  EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_NO_CLIENT);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Net instance invalid,exit"));
  EXPECT_TRUE(Session().isFirstSync());

  script_.clientExists = true;
  script_.ctagRowOk = false;
  EXPECT_EQ(Sync(u"bookmark", 1), QUILLET_STORE_FAILED);
  EXPECT_TRUE(LogCapture::Has(Sync_(), "[Warning][StartSync] CheckAndInsertCtag failed,end sync"));
  EXPECT_EQ(script_.net->lockCalls, 0);
  EXPECT_FALSE(Session().isFirstSync()) << "StartSync ran, so the round is open";
  EXPECT_FALSE(Session().dataTypeOk().at(u"bookmark"));
}

TEST_F(SyncSessionTest, AFailedDownloadSkipsTheUploadButEndsTheDataType) {
  script_.downloadCode = 2006;
  EXPECT_EQ(Sync(u"bookmark", 1), 2006);
  EXPECT_TRUE(script_.uploads.empty());
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "ProcessDownloadStructData failed,errorCode:2006"));
  EXPECT_TRUE(
      LogCapture::Has(Sync_(), "[Warning][SyncData] Process SyncData failed, error code:2006"));
  const auto ends = host_.CallsOf("OnDataSyncEnd");
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].texts[0], "bookmark");
  EXPECT_THAT(ends[0].numbers, ElementsAre(2006));
}

TEST_F(SyncSessionTest, WithReasonReportsTheOutcome) {
  EXPECT_EQ(Session().SyncDataWithRsn(u"browser", u"bookmark", 1, 10, 42), 0);
  auto reports = Reports("local_SyncDataWithRsn");
  ASSERT_EQ(reports.size(), 1u);
  auto pairs = PairsOf(reports[0]);
  EXPECT_EQ(pairs.at("returnCode"), "0");
  EXPECT_EQ(pairs.at("operation_type"), "42");
  EXPECT_EQ(pairs.at("syncInfo"), "SyncData success");
  EXPECT_EQ(pairs.at("syncType"), "browser");
  EXPECT_EQ(pairs.at("userID"), "user");
  EXPECT_EQ(pairs.size(), 11u);

  script_.downloadCode = 404;
  EXPECT_EQ(Session().SyncDataWithRsn(u"browser", u"bookmark", 5, 10, 3), 404);
  pairs = PairsOf(Reports("local_SyncDataWithRsn").back());
  EXPECT_EQ(pairs.at("syncInfo"), "SyncData error,error code:404");
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "SyncData error,error code:404"));
}

TEST_F(SyncSessionTest, StopRequestReachesThePassesAndStays) {
  ASSERT_EQ(Sync(u"bookmark", 1), 0);
  EXPECT_FALSE(script_.downloads[0].stop);
  Session().RequestStop();
  Sync(u"bookmark", 2);
  EXPECT_TRUE(script_.downloads[1].stop);
  Session().EndSync(u"browser");
  Sync(u"bookmark", 1);
  EXPECT_TRUE(script_.downloads[2].stop);
}

}  // namespace
}  // namespace quillet
