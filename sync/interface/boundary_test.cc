// The exported C functions as a host calls them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "quillet.h"
#include "sync/common/active_adapter.h"
#include "sync/common/host_call_scope.h"
#include "sync/log/logger.h"
#include "sync/session/session_registry.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/session_fixture.h"
#include "sync/testing/temp_dir.h"
#include "sync/testing/test_host.h"

namespace quillet {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::ScriptedServices;
using testing::TempDir;
using testing::TestHost;

class BoundaryTest : public ::testing::Test {
 protected:
  BoundaryTest() {
    SetSessionServicesFactory([this] { return script_.Services(); });
    dbPath_ = tmp_ / "db";
    info_ = {"browser",
             "token",
             "user",
             "app",
             dbPath_.c_str(),
             tmp_.path().c_str(),
             "https://127.0.0.1:1/"};
    callbacks_ = host_.Callbacks();
  }
  ~BoundaryTest() override {
    UninitCloudSync();
    SetSessionServicesFactory(nullptr);
    SetActiveAdapter(nullptr);
  }

  std::vector<int> Batches() const {
    std::vector<int> out;
    for (const auto& call : script_.downloads) out.push_back(call.batchNumber);
    return out;
  }

  TempDir tmp_;
  std::string dbPath_;
  LogCapture capture_{tmp_.path()};
  TestHost host_;
  ScriptedServices script_;
  CloudSyncInitInfo info_;
  SyncCallbacks callbacks_;
};

TEST_F(BoundaryTest, UnknownSyncTypeAnswersMinusOneAndOtherCallsDoNothing) {
  EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), QUILLET_NO_SESSION);
  EXPECT_EQ(SyncDataWithReason(nullptr, nullptr, 1, 10, 0), QUILLET_NO_SESSION);
  const char* list[] = {"x"};
  EndSync("browser", list, 1, list, 1);
  StopSync("browser");
  FileItem file = {"a", "b", "c", "d"};
  DownUnstructFile("browser", "ctx", &file, 1);
  InitCloudSync(nullptr, &callbacks_);
  InitCloudSync(&info_, nullptr);
  EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), QUILLET_NO_SESSION);
  EXPECT_THAT(host_.Calls(), IsEmpty());
}

TEST_F(BoundaryTest, OnlyTheReasonlessCallClampsTheBatchSize) {
  InitCloudSync(&info_, &callbacks_);
  for (int batch : {0, -5, 250, 1, 100}) {
    EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, batch), 0);
  }
  EXPECT_EQ(SyncDataWithReason("browser", "bookmark", 1, 250, 7), 0);
  EXPECT_EQ(SyncDataWithReason("browser", "bookmark", 1, 0, 7), 0);
  EXPECT_THAT(Batches(), ElementsAre(100, 100, 100, 1, 100, 250, 0));
}

TEST_F(BoundaryTest, EndSyncWithANullListReturnsAtOnce) {
  InitCloudSync(&info_, &callbacks_);
  ASSERT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), 0);
  const char* list[] = {"a", nullptr};
  EndSync("browser", nullptr, 0, list, 2);
  EndSync("browser", list, 2, nullptr, 0);
  EXPECT_EQ(script_.net->unlockCalls, 0);
  EXPECT_THAT(host_.CallsOf("OnSyncEnd"), IsEmpty());
  EndSync("browser", list, 0, list, 2);
  EXPECT_EQ(script_.net->unlockCalls, 1);
  EXPECT_EQ(host_.CallsOf("OnSyncEnd").size(), 1u);
}

TEST_F(BoundaryTest, SecondInitOfARegisteredTypeChangesNothing) {
  InitCloudSync(&info_, &callbacks_);
  SyncCallbacks other = callbacks_;
  other.ReportEvent = [](int, const char*, const char**, const char**, int) {
    ADD_FAILURE() << "the second table must not be used";
  };
  CloudSyncInitInfo changed = info_;
  changed.AT = "";  // would fail validation if it replaced the session
  InitCloudSync(&changed, &other);
  EXPECT_EQ(SyncDataWithReason("browser", "bookmark", 1, 10, 0), 0);
  EXPECT_EQ(script_.clientsMade, 1);
}

int g_otherReports = 0;

TEST_F(BoundaryTest, LatestInitMakesItsTableActiveForEverySession) {
  InitCloudSync(&info_, &callbacks_);
  SyncCallbacks other = callbacks_;
  g_otherReports = 0;
  other.ReportEvent = [](int, const char*, const char**, const char**, int) { ++g_otherReports; };
  CloudSyncInitInfo calendar = info_;
  calendar.SyncType = "calendar";
  InitCloudSync(&calendar, &other);
  EXPECT_EQ(SyncDataWithReason("browser", "bookmark", 1, 10, 0), 0);
  EXPECT_EQ(g_otherReports, 2);  // LOCK and the call's own report
  EXPECT_THAT(host_.CallsOf("ReportEvent"), IsEmpty());

  // Uninit keeps the active table until the next init.
  UninitCloudSync();
  EXPECT_EQ(SyncDataNoReason("calendar", "event", 1, 10), QUILLET_NO_SESSION);
  EXPECT_NE(ActiveAdapter(), nullptr);
  InitCloudSync(&info_, &callbacks_);
  EXPECT_EQ(SyncDataWithReason("browser", "bookmark", 1, 10, 0), 0);
  EXPECT_EQ(g_otherReports, 2);
  EXPECT_EQ(host_.CallsOf("ReportEvent").size(), 2u);
}

TEST_F(BoundaryTest, NullInitTextsReadAsEmptyAndFailValidation) {
  info_.AppID = nullptr;
  InitCloudSync(&info_, &callbacks_);
  ASSERT_TRUE(InitLogger(Utf8ToWide(tmp_.path())));
  EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), QUILLET_INVALID_CALL);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "AppID is empty"));

  // A null sync type registers under the empty text.
  UninitCloudSync();
  info_.AppID = "app";
  info_.SyncType = nullptr;
  InitCloudSync(&info_, &callbacks_);
  EXPECT_EQ(SyncDataNoReason("", "bookmark", 1, 10), QUILLET_INVALID_CALL);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "SyncType is empty"));
}

TEST_F(BoundaryTest, StopSyncReachesTheRunningSession) {
  InitCloudSync(&info_, &callbacks_);
  StopSync("browser");
  StopSync("calendar");  // no session: ignored
  SyncDataNoReason("browser", "bookmark", 1, 10);
  ASSERT_EQ(script_.downloads.size(), 1u);
  EXPECT_TRUE(script_.downloads[0].stop);
}

TEST_F(BoundaryTest, DownUnstructFileOnlyChecksForAClient) {
  InitCloudSync(&info_, &callbacks_);
  ASSERT_TRUE(InitLogger(Utf8ToWide(tmp_.path())));
  DownUnstructFile("browser", "ctx", nullptr, 3);
  EXPECT_FALSE(LogCapture::Has(capture_.Error(), "Net instance invalid,exit"));
  FileItem files[] = {{"a", nullptr, "c", "d"}, {nullptr, nullptr, nullptr, nullptr}};
  DownUnstructFile("browser", nullptr, files, 2);
  EXPECT_TRUE(LogCapture::Has(capture_.Error(), "Net instance invalid,exit"));
  capture_.Reset();
  ASSERT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), 0);
  DownUnstructFile("browser", "ctx", files, 2);
  EXPECT_FALSE(LogCapture::Has(capture_.Error(), "Net instance invalid,exit"));
  EXPECT_THAT(host_.CallsOf("ReportEvent").size(), 1u);  // only the lock report
}

TEST_F(BoundaryTest, ExceptionsStayInsideTheLibrary) {
  InitCloudSync(&info_, &callbacks_);
  script_.downloadThrows = true;
  EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), QUILLET_INTERNAL_ERROR);
  EXPECT_EQ(SyncDataWithReason("browser", "bookmark", 1, 10, 0), QUILLET_INTERNAL_ERROR);
  EXPECT_TRUE(
      LogCapture::Has(capture_.Error(), "SyncDataNoReason failed with an exception: pass blew up"));
  // The library stays usable, and the round does not store the failed type's ctag.
  script_.downloadThrows = false;
  script_.net->unlockCtags = testing::Ctags({{u"bookmark", u"b2"}, {u"contact", u"c2"}});
  EXPECT_EQ(SyncDataNoReason("browser", "contact", 1, 10), 0);
  const char* list[] = {"x"};
  EndSync("browser", list, 1, list, 1);
  ASSERT_EQ(script_.ctagUpdates.size(), 1u);
  EXPECT_EQ(script_.ctagUpdates[0].first, u"contact");
}

TEST_F(BoundaryTest, ATableWithANullEntryIsRefusedAndRegistersNothing) {
  ASSERT_TRUE(InitLogger(Utf8ToWide(tmp_.path())));
  const std::vector<std::pair<const char*, std::function<void(SyncCallbacks&)>>> entries = {
      {"OnDownloadSyncStart", [](SyncCallbacks& c) { c.OnDownloadSyncStart = nullptr; }},
      {"UpdateStructData", [](SyncCallbacks& c) { c.UpdateStructData = nullptr; }},
      {"FreeAT", [](SyncCallbacks& c) { c.FreeAT = nullptr; }},
      {"FreeQueryResultList", [](SyncCallbacks& c) { c.FreeQueryResultList = nullptr; }},
      {"UpdateSyncResult", [](SyncCallbacks& c) { c.UpdateSyncResult = nullptr; }},
      {"ReportEvent", [](SyncCallbacks& c) { c.ReportEvent = nullptr; }},
  };
  for (const auto& entry : entries) {
    SyncCallbacks table = callbacks_;
    entry.second(table);
    InitCloudSync(&info_, &table);
    EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), QUILLET_NO_SESSION) << entry.first;
    EXPECT_TRUE(LogCapture::Has(capture_.Error(), std::string("InitCloudSync refused: the callback "
                                                              "table entry ") +
                                                      entry.first + " is NULL"));
  }
  EXPECT_THAT(host_.Calls(), IsEmpty());
  // Reserved is never called, so a host may leave it NULL.
  callbacks_.Reserved = nullptr;
  InitCloudSync(&info_, &callbacks_);
  EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), 0);
}

TEST_F(BoundaryTest, CallsFromTheKeepAliveThreadsCallbackAreRefusedAndItsUninitDeferred) {
  InitCloudSync(&info_, &callbacks_);
  ASSERT_TRUE(InitLogger(Utf8ToWide(tmp_.path())));
  ASSERT_EQ(SyncDataNoReason("browser", "bookmark", 1, 10), 0);
  // Between two calls of a round, the keep-alive thread asks the host for a token, and the
  // host calls back from there: the round's timer is that very thread, so nothing may be
  // torn down or started on it.
  std::thread([] {
    const HostCallScope inHost;
    EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 2, 10), QUILLET_INVALID_CALL);
    UninitCloudSync();
    StopSync("browser");
  }).join();
  EXPECT_TRUE(LogCapture::Has(capture_.Error(),
                              "SyncDataNoReason refused: called from inside a host callback"));
  EXPECT_EQ(script_.downloads.size(), 1u);
  // The next call made from outside the host does the teardown first.
  EXPECT_EQ(SyncDataNoReason("browser", "bookmark", 2, 10), QUILLET_NO_SESSION);
  EXPECT_EQ(script_.downloads.size(), 1u);
  EXPECT_EQ(script_.net->unlockCalls, 0);
}

TEST_F(BoundaryTest, StopSyncAndCallsFromOtherThreadsNeverMeetAFreedSession) {
  // Run under ThreadSanitizer and AddressSanitizer: every code is a defined one, and
  // StopSync may come at any moment of a session's life, also during the teardown.
  std::atomic<bool> done{false};
  std::atomic<int> undefined{0};
  std::thread stopper([&] {
    while (!done) {
      StopSync("browser");
      StopSync(nullptr);
    }
  });
  std::thread intruder([&] {
    while (!done) {
      const int code = SyncDataNoReason("browser", "bookmark", 2, 10);
      if (code != 0 && code != QUILLET_STOPPED && code != QUILLET_INVALID_CALL &&
          code != QUILLET_NO_SESSION) {
        ++undefined;
      }
      const char* list[] = {"x"};
      EndSync("browser", list, 1, list, 1);
    }
  });
  for (int i = 0; i < 200; ++i) {
    InitCloudSync(&info_, &callbacks_);
    // The intruder's calls may hold the slot (refused: 2003) or have missed the session.
    const int code = SyncDataNoReason("browser", "bookmark", 1, 10);
    if (code != 0 && code != QUILLET_STOPPED && code != QUILLET_INVALID_CALL &&
        code != QUILLET_NO_SESSION) {
      ++undefined;
    }
    UninitCloudSync();
  }
  done = true;
  stopper.join();
  intruder.join();
  EXPECT_EQ(undefined.load(), 0);
  EXPECT_EQ(host_.OutstandingArrays(), 0u);
}

TEST(ParseExceptionTest, ClassifiesCodes) {
  for (int code : {10001, 10099, 20001, 20050, 30099, 40001, 40099, 50001}) {
    EXPECT_EQ(ParseException(code), 100) << code;
  }
  for (int code : {2100, 2101, 2102, 2103, 2104, 2105, 2106, 500, 406}) {
    EXPECT_EQ(ParseException(code), 120) << code;
  }
  for (int code : {0, -1, 10000, 10100, 20100, 40100, 50000, 50002, 2099, 2107, 2027, 407}) {
    EXPECT_EQ(ParseException(code), 127) << code;
  }
}

}  // namespace
}  // namespace quillet
