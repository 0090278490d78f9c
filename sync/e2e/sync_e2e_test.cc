// Whole rounds through the exported C functions, against the reference sync server, with
// model hosts as two devices of one user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "sync/e2e/e2e_fixture.h"
#include "sync/testing/file_modes.h"

namespace quillet {
namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

int CountRequests(syncserver::SyncServer& server, const std::string& operation, int http) {
  int n = 0;
  for (const auto& request : server.Requests()) {
    if (request.operation == operation && request.http_status == http) ++n;
  }
  return n;
}

std::vector<int> DeliverySizes(const ModelDevice& device) {
  std::vector<int> sizes;
  for (const HostEvent& event : device.EventsOf("UpdateStructData")) {
    sizes.push_back(event.counts[0] + event.counts[1]);
  }
  return sizes;
}

std::vector<int> UploadedAdds(const ModelDevice& device) {
  std::vector<int> sizes;
  for (const HostEvent& event : device.EventsOf("UpdateSyncResult")) {
    sizes.push_back(event.counts[0]);
  }
  return sizes;
}

// Index of the first event of entry whose luids hold luid; -1 when none.
int IndexOf(const std::vector<HostEvent>& events, const std::string& entry,
            const std::string& luid) {
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].entry != entry) continue;
    for (const std::string& l : events[i].luids) {
      if (l == luid) return static_cast<int>(i);
    }
  }
  return -1;
}

TEST_F(E2eTest, UploadInBatchesDownloadOnSecondDeviceThenNothingToCompare) {
  for (int i = 0; i < 250; ++i) a_->Add(RecordData("a", i));
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(server().RequestCount("POST"), 3);
  EXPECT_EQ(UploadedAdds(*a_), (std::vector<int>{100, 100, 50}));
  EXPECT_EQ(ServerRecords().size(), 250u);

  server().ClearRequests();
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(server().RequestCount("PROPFIND"), 1);
  EXPECT_EQ(server().RequestCount("REPORT"), 3);
  EXPECT_EQ(server().RequestCount("POST"), 0);
  ASSERT_EQ(b_->EventsOf("OnDownloadSyncStart").size(), 1u);
  EXPECT_EQ(b_->EventsOf("OnDownloadSyncStart")[0].counts, (std::vector<int>{250, 0, 0}));
  EXPECT_EQ(DeliverySizes(*b_), (std::vector<int>{100, 100, 50}));
  ExpectConverged();

  // The ctag stored at the end of each device's round matches the cloud's: no listing.
  server().ClearRequests();
  b_->ClearEvents();
  ASSERT_EQ(b_->Sync(100), 0);
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(server().RequestCount("PROPFIND"), 0);
  EXPECT_EQ(server().RequestCount("REPORT"), 0);
  EXPECT_EQ(server().RequestCount("POST"), 0);
  ASSERT_EQ(b_->EventsOf("OnDownloadSyncStart").size(), 1u);
  EXPECT_EQ(b_->EventsOf("OnDownloadSyncStart")[0].counts, (std::vector<int>{0, 0, 0}));
  EXPECT_THAT(b_->EventsOf("DataQueryByID"), IsEmpty());
  ExpectConverged();
}

// Two devices synced under the usual umask: nothing the library made in their profiles
// (folders, store, -wal and -shm, the delivery journal while it exists, logs, the property
// file) is open to other users of the machine.
TEST_F(E2eTest, NothingTheLibraryMakesIsOpenToOtherUsers) {
#if defined(_WIN32)
  GTEST_SKIP() << "no POSIX modes on Windows";
#endif
  testing::ScopedUmask usual;
  for (int i = 0; i < 25; ++i) a_->Add(RecordData("a", i));
  ASSERT_EQ(a_->Sync(10), 0);
  std::vector<std::string> journals;
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry != "UpdateStructData") return;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(b_->dbPath())) {
      const std::string path = entry.path().string();
      if (path.find("Quillet.delivery.") == std::string::npos) continue;
      char mode[16];
      snprintf(mode, sizeof(mode), "%03o", testing::ModeOf(path));
      journals.push_back(mode);
    }
  };
  ASSERT_EQ(b_->Sync(10), 0);
  EXPECT_THAT(journals, ElementsAre("600", "600", "600"));
  for (const ModelDevice* device : {a_.get(), b_.get()}) {
    const std::filesystem::path profile = std::filesystem::path(device->dbPath()).parent_path();
    EXPECT_THAT(testing::OpenToOthers(device->dbPath()), IsEmpty());
    EXPECT_THAT(testing::OpenToOthers((profile / "log").string()), IsEmpty());
    EXPECT_TRUE(std::filesystem::exists(profile / "log" / "Quillet" / "Quillet_sync.log"));
  }
}

TEST_F(E2eTest, AddsModifiesAndDeletesOnBothSidesConverge) {
  std::vector<std::string> luidsA;
  for (int i = 0; i < 12; ++i) luidsA.push_back(a_->Add(RecordData("base", i)));
  ASSERT_EQ(a_->Sync(5), 0);
  ASSERT_EQ(b_->Sync(5), 0);
  ExpectConverged();
  auto luidOnB = [&](int i) { return b_->LuidOf(a_->Records().at(luidsA[i]).guid); };
  const std::string guid3 = a_->Records().at(luidsA[3]).guid;
  const std::string guid4 = a_->Records().at(luidsA[4]).guid;

  // a: modifies 0 and 1, deletes 2 and 3, adds two; b: modifies 5 and 6, deletes 7 and 4,
  // adds two. Crossed: b modifies 3 (deleted by a), a modifies 4 (deleted by b).
  ASSERT_TRUE(a_->Modify(luidsA[0], "a-mod-0"));
  ASSERT_TRUE(a_->Modify(luidsA[1], "a-mod-1"));
  ASSERT_TRUE(a_->Remove(luidsA[2]));
  ASSERT_TRUE(a_->Remove(luidsA[3]));
  a_->Add("a-new-1");
  a_->Add("a-new-2");
  ASSERT_TRUE(a_->Modify(luidsA[4], "a-mod-4"));
  ASSERT_TRUE(b_->Modify(luidOnB(5), "b-mod-5"));
  ASSERT_TRUE(b_->Modify(luidOnB(6), "b-mod-6"));
  ASSERT_TRUE(b_->Remove(luidOnB(7)));
  ASSERT_TRUE(b_->Remove(b_->LuidOf(guid4)));
  ASSERT_TRUE(b_->Modify(b_->LuidOf(guid3), "b-mod-3"));
  b_->Add("b-new-1");
  b_->Add("b-new-2");

  ASSERT_EQ(a_->Sync(5), 0);
  ASSERT_EQ(b_->Sync(5), 0);
  ASSERT_EQ(a_->Sync(5), 0);
  ExpectConverged();

  std::multiset<std::string> data;
  for (const auto& [guid, text] : ServerRecords()) data.insert(text);
  std::multiset<std::string> expected{"a-mod-0", "a-mod-1", "b-mod-5", "b-mod-6",
                                      "a-new-1", "a-new-2", "b-new-1", "b-new-2"};
  for (int i : {8, 9, 10, 11}) expected.insert(RecordData("base", i));
  // 3: deleted by a first, so b's edit gives way to the cloud deletion; 4: b's deletion
  // follows a's edit, and wins in b's upload.
  EXPECT_EQ(data, expected);
}

TEST_F(E2eTest, RecordChangedOnBothSidesIsDownloadedBeforeTheUpload) {
  const std::string luidX = a_->Add("x-0");
  const std::string luidY = a_->Add("y-0");
  ASSERT_EQ(a_->Sync(100), 0);
  ASSERT_EQ(b_->Sync(100), 0);
  const std::string guidX = a_->Records().at(luidX).guid;
  const std::string guidY = a_->Records().at(luidY).guid;

  // A host that lets the cloud win loses its own edit to the downloaded one.
  ASSERT_TRUE(a_->Modify(luidX, "x-from-a"));
  ASSERT_TRUE(b_->Modify(b_->LuidOf(guidX), "x-from-b"));
  ASSERT_EQ(a_->Sync(100), 0);
  b_->ClearEvents();
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_THAT(b_->EventsOf("UpdateStructData").at(0).luids, ElementsAre(b_->LuidOf(guidX)));
  EXPECT_THAT(b_->EventsOf("DataQueryByID"), IsEmpty());
  EXPECT_EQ(ServerRecords().at(guidX), "x-from-a");
  ExpectConverged();

  // A host that keeps its edit gets the cloud's record first, then uploads its own.
  b_->keepLocalEdits = true;
  ASSERT_TRUE(a_->Modify(luidY, "y-from-a"));
  ASSERT_TRUE(b_->Modify(b_->LuidOf(guidY), "y-from-b"));
  ASSERT_EQ(a_->Sync(100), 0);
  b_->ClearEvents();
  ASSERT_EQ(b_->Sync(100), 0);
  const auto events = b_->Events();
  const int delivered = IndexOf(events, "UpdateStructData", b_->LuidOf(guidY));
  const int read = IndexOf(events, "DataQueryByID", b_->LuidOf(guidY));
  ASSERT_GE(delivered, 0);
  ASSERT_GE(read, 0);
  EXPECT_LT(delivered, read);
  EXPECT_EQ(ServerRecords().at(guidY), "y-from-b");
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(a_->Records().at(luidY).data, "y-from-b");
  ExpectConverged();
}

TEST_F(E2eTest, StopInsideUploadCallbackThenNextRoundCompletes) {
  for (int i = 0; i < 250; ++i) a_->Add(RecordData("a", i));
  int reads = 0;
  a_->onCall = [&](const HostEvent& event) {
    if (event.entry == "DataQueryByID" && ++reads == 2) StopSync(kSyncType);
  };
  EXPECT_EQ(a_->Sync(100), QUILLET_STOPPED);
  // The batch under way when the stop came is finished; the next one is not started.
  EXPECT_EQ(ServerRecords().size(), 200u);
  EXPECT_EQ(UploadedAdds(*a_), (std::vector<int>{100, 100}));

  a_->onCall = nullptr;
  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(UploadedAdds(*a_), (std::vector<int>{50}));
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 250u);
  ExpectConverged();
  EXPECT_EQ(b_->redeliveredAdds(), 0);
}

TEST_F(E2eTest, StopDuringFullDeliveryKeepsItsEtagRows) {
  Seed(250);
  int deliveries = 0;
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry == "UpdateStructData" && ++deliveries == 2) StopSync(kSyncType);
  };
  EXPECT_EQ(b_->Sync(100), QUILLET_STOPPED);
  EXPECT_EQ(b_->Records().size(), 200u);

  b_->onCall = nullptr;
  b_->ClearEvents();
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(b_->EventsOf("OnDownloadSyncStart").at(0).counts, (std::vector<int>{50, 0, 0}));
  EXPECT_EQ(b_->redeliveredAdds(), 0);
  ASSERT_EQ(a_->Sync(100), 0);
  ExpectConverged();
}

TEST_F(E2eTest, StopDuringLastDeliveryStillRecordsWhatTheHostHolds) {
  Seed(250);
  int deliveries = 0;
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry == "UpdateStructData" && ++deliveries == 3) StopSync(kSyncType);
  };
  EXPECT_EQ(b_->Sync(100), QUILLET_STOPPED);
  EXPECT_EQ(b_->Records().size(), 250u);

  // The last delivery's rows were written although the pass stopped, so nothing comes
  // again; the ctag was not stored, so the next round lists the etags once more.
  b_->onCall = nullptr;
  b_->ClearEvents();
  server().ClearRequests();
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(server().RequestCount("PROPFIND"), 1);
  EXPECT_EQ(server().RequestCount("REPORT"), 0);
  EXPECT_EQ(b_->EventsOf("OnDownloadSyncStart").at(0).counts, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(b_->redeliveredAdds(), 0);
  EXPECT_EQ(b_->Records().size(), 250u);
  ASSERT_EQ(a_->Sync(100), 0);
  ExpectConverged();
}

TEST_F(E2eTest, FailingReportInSecondBatchKeepsFirstBatchAndLeavesCtag) {
  Seed(250);
  server().AddFault(syncserver::Fault::Status("REPORT", 2, 500));
  EXPECT_EQ(b_->Sync(100), 500);
  EXPECT_EQ(b_->Records().size(), 100u);

  server().ClearRequests();
  b_->ClearEvents();
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(server().RequestCount("PROPFIND"), 1);  // the ctag was not stored
  EXPECT_EQ(b_->EventsOf("OnDownloadSyncStart").at(0).counts, (std::vector<int>{150, 0, 0}));
  EXPECT_EQ(b_->redeliveredAdds(), 0);
  ASSERT_EQ(a_->Sync(100), 0);
  ExpectConverged();
}

TEST_F(E2eTest, FailingPostInSecondBatchKeepsFirstBatchAndConverges) {
  for (int i = 0; i < 250; ++i) a_->Add(RecordData("a", i));
  server().AddFault(syncserver::Fault::Status("POST", 2, 500));
  EXPECT_EQ(a_->Sync(100), 500);
  EXPECT_EQ(ServerRecords().size(), 100u);
  EXPECT_EQ(UploadedAdds(*a_), (std::vector<int>{100}));

  a_->ClearEvents();
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(UploadedAdds(*a_), (std::vector<int>{100, 50}));
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 250u);
  ExpectConverged();
}

TEST_F(E2eTest, BookmarkLimitAnswers50001AndNothingIsDuplicatedAfterwards) {
  service().SetCollectionLimit(kDataType, 5);
  for (int i = 0; i < 8; ++i) a_->Add(RecordData("a", i));
  EXPECT_EQ(a_->Sync(3), QUILLET_LIMIT_REACHED);
  EXPECT_EQ(ServerRecords().size(), 3u);  // the second batch of 3 was refused whole
  EXPECT_EQ(a_->Sync(3), QUILLET_LIMIT_REACHED);
  EXPECT_EQ(ServerRecords().size(), 3u);

  service().SetCollectionLimit(kDataType, 0);
  ASSERT_EQ(a_->Sync(3), 0);
  ASSERT_EQ(b_->Sync(3), 0);
  std::set<std::string> data;
  for (const auto& [guid, text] : ServerRecords()) data.insert(text);
  EXPECT_EQ(data.size(), 8u);
  EXPECT_EQ(ServerRecords().size(), 8u);
  ExpectConverged();
}

TEST_F(E2eTest, ExpiredTokenIsRefreshedOnceAndTheRoundGoesOn) {
  Seed(3);
  b_->Add("local-1");
  service().ExpireToken(kToken);
  b_->freshToken = "token-2";
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(b_->getNewAtCalls(), 1);
  int expired = 0;
  for (const auto& request : server().Requests()) expired += request.http_status == 402;
  EXPECT_EQ(expired, 1);
  EXPECT_EQ(ServerRecords().size(), 4u);
  ExpectClean(*b_);
  EXPECT_EQ(b_->ByGuid(), ServerRecords());
}

TEST_F(E2eTest, AHostWithoutANewTokenEndsTheRoundWithoutUploading) {
  Seed(3);
  b_->Add("local-1");
  service().ExpireToken(kToken);
  EXPECT_NE(b_->Sync(100), 0);
  EXPECT_EQ(b_->getNewAtCalls(), 1);
  EXPECT_EQ(ServerRecords().size(), 3u);
}

TEST_F(E2eTest, KeepAliveHoldsTheLockThroughASlowHostCallback) {
  syncserver::SyncServerOptions options;
  options.interval_seconds = 1;
  // A tick may come late on a loaded machine: the lock outlives a missed second by 1.5 s.
  options.lock_timeout_ms = 2500;
  StartServer(options);
  Seed(3);
  b_->Add("local-1");
  std::string holderAfterWait;
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry != "UpdateStructData") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    holderAfterWait = service().LockHolder({kUser, kSyncType});
  };
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_GE(CountRequests(server(), "KEEPLOCK", 200), 1);
  EXPECT_FALSE(holderAfterWait.empty()) << "the lock lapsed during the slow callback";
  EXPECT_EQ(server().RequestCount("KEEPLOCK"), CountRequests(server(), "KEEPLOCK", 200));
  EXPECT_EQ(service().LockHolder({kUser, kSyncType}), "");  // released by EndSync
  b_->onCall = nullptr;
  ASSERT_EQ(a_->Sync(100), 0);
  ExpectConverged();
}

// Hosts often sync on a worker thread that ends afterwards: nothing the library keeps per
// thread may outlive it badly (a thread-local parser crashed such a host on Windows).
TEST_F(E2eTest, RoundsOnWorkerThreadsThatEndAfterwards) {
  Seed(3);
  b_->Add("local-1");
  for (ModelDevice* device : {b_.get(), a_.get(), b_.get()}) {
    int code = -100;
    std::thread worker([&] { code = device->Sync(2); });
    worker.join();
    ASSERT_EQ(code, 0) << device->name();
  }
  ExpectConverged();
  EXPECT_EQ(ServerRecords().size(), 4u);
}

TEST_F(E2eTest, DeviceDroppedMidRoundLeavesLockUntilItExpires) {
  a_->Add("a-1");
  a_->Activate();
  ASSERT_EQ(SyncDataWithReason(kSyncType, kDataType, 1, 100, 1), 0);
  // No EndSync: the device goes away holding the lock, and the other one is refused.
  EXPECT_EQ(b_->Sync(100), QUILLET_LOCK_FAILED);
  service().ExpireLocks();
  ASSERT_EQ(b_->Sync(100), 0);
  ASSERT_EQ(a_->Sync(100), 0);
  ExpectConverged();
  EXPECT_EQ(ServerRecords().size(), 1u);
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
