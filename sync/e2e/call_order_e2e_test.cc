// Hosts that call the exports in an order the header forbids: from inside a callback, or
// from a second thread while a sync call runs. Each misuse gets a defined answer, the
// running call goes on undisturbed, no request leaves the lock, and the store stays whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "sync/e2e/e2e_fixture.h"

namespace quillet {
namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

const char* kNoList[1] = {nullptr};

// Requests that need the lock (data requests and KEEPLOCK) made while none was held: after
// an UNLOCK, or a refused LOCK, and before the next LOCK answered 200.
std::vector<std::string> RequestsOutsideTheLock(const syncserver::SyncServer& server) {
  std::vector<std::string> out;
  bool held = false;
  int index = 0;
  for (const auto& request : server.Requests()) {
    ++index;
    if (request.operation == "LOCK") {
      held = request.http_status == 200;
    } else if (request.operation == "UNLOCK") {
      held = false;
    } else if (!held) {
      out.push_back(request.operation + " (request " + std::to_string(index) + ")");
    }
  }
  return out;
}

std::vector<std::string> Operations(const syncserver::SyncServer& server) {
  std::vector<std::string> out;
  for (const auto& request : server.Requests()) out.push_back(request.operation);
  return out;
}

std::vector<std::string> EntryNames(const ModelDevice& device) {
  std::vector<std::string> out;
  for (const HostEvent& event : device.Events()) out.push_back(event.entry);
  return out;
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The device's error log (the library writes it under LogPath/Quillet).
std::string ErrorLog(const ModelDevice& device) {
  const std::filesystem::path log = std::filesystem::path(device.dbPath()).parent_path() / "log";
  std::string text;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(log)) {
    if (entry.path().filename().string().rfind("Quillet_error.log", 0) == 0) {
      text += FileText(entry.path());
    }
  }
  return text;
}

// Etag rows of the bookmark type in the device's store, or -1 when the store is unreadable
// or fails its integrity check.
int StoredEtagRows(const ModelDevice& device) {
  std::filesystem::path file;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(device.dbPath())) {
    if (entry.path().filename() == "Quillet.dat") file = entry.path();
  }
  sqlite3* db = nullptr;
  if (file.empty() ||
      sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return -1;
  }
  int rows = -1;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check;", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW &&
      std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))) == "ok") {
    sqlite3_finalize(stmt);
    stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM etag WHERE type='bookmark';", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      rows = sqlite3_column_int(stmt, 0);
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

int RecordsWithGuid(const ModelDevice& device) {
  int n = 0;
  for (const auto& entry : device.Records()) n += entry.second.guid.empty() ? 0 : 1;
  return n;
}

// Waits until the server has received n requests of the method (the client now waits for
// the answer); false after 20 s.
bool AwaitReceived(const syncserver::SyncServer& server, const std::string& method, int n) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (server.ReceivedCount(method) < n) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class CallOrderTest : public E2eTest {
 protected:
  // After a misuse: the device's store matches what it holds, and two clean rounds (one per
  // device) converge with every record once on the server.
  void ExpectIntactAndConverging(size_t records) {
    EXPECT_EQ(StoredEtagRows(*b_), RecordsWithGuid(*b_));
    b_->onCall = nullptr;
    service().ExpireLocks();
    ASSERT_EQ(b_->Sync(100), 0);
    ASSERT_EQ(a_->Sync(100), 0);
    ExpectConverged();
    EXPECT_EQ(ServerRecords().size(), records);
    EXPECT_THAT(RequestsOutsideTheLock(server()), IsEmpty());
  }
};

TEST_F(CallOrderTest, SyncCallsFromInsideACallbackAreRefusedAndTheRunningCallGoesOn) {
  Seed(5);
  b_->Add("local-1");
  std::vector<int> nested;
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry == "OnDownloadSyncStart") {
      nested.push_back(SyncDataNoReason(kSyncType, kDataType, 1, 100));       // the same data type
      nested.push_back(SyncDataWithReason(kSyncType, "contact", 2, 100, 1));  // another one
      nested.push_back(SyncDataNoReason("calendar", kDataType, 1, 100));      // another sync type
    } else if (event.entry == "UpdateStructData") {
      EndSync(kSyncType, kNoList, 0, kNoList, 0);
      FileItem file = {"a", "b", "c", "d"};
      DownUnstructFile(kSyncType, "context", &file, 1);
    }
  };
  b_->Activate();
  ASSERT_EQ(SyncDataWithReason(kSyncType, kDataType, 1, 2, 1), 0);
  EXPECT_THAT(nested,
              ElementsAre(QUILLET_INVALID_CALL, QUILLET_INVALID_CALL, QUILLET_INVALID_CALL));
  // One lock, no unlock yet: the nested EndSync sent nothing and called no OnSyncEnd.
  EXPECT_EQ(server().RequestCount("LOCK"), 1);
  EXPECT_EQ(server().RequestCount("UNLOCK"), 0);
  EXPECT_EQ(b_->EventsOf("OnSyncEnd").size(), 0u);
  EXPECT_EQ(b_->EventsOf("OnDownloadSyncStart").size(), 1u);
  EXPECT_EQ(b_->EventsOf("OnDataSyncEnd").size(), 1u);
  EXPECT_EQ(b_->EventsOf("UpdateStructData").size(), 3u);  // 5 records in batches of 2

  b_->onCall = nullptr;
  EndSync(kSyncType, kNoList, 0, kNoList, 0);
  EXPECT_EQ(server().RequestCount("UNLOCK"), 1);
  EXPECT_EQ(b_->EventsOf("OnSyncEnd").size(), 1u);
  EXPECT_THAT(RequestsOutsideTheLock(server()), IsEmpty());
  EXPECT_EQ(ServerRecords().size(), 6u);
  const std::string log = ErrorLog(*b_);
  EXPECT_THAT(log, HasSubstr("SyncDataNoReason refused: another sync call is running "
                             "(SyncDataWithReason)"));
  EXPECT_THAT(log, HasSubstr("EndSync refused: another sync call is running"));
  EXPECT_THAT(log, HasSubstr("DownUnstructFile refused: another sync call is running"));
  ExpectIntactAndConverging(6);
}

TEST_F(CallOrderTest, UninitFromInsideACallbackStopsTheCallAndTearsDownWhenItReturns) {
  Seed(6);
  b_->Add("local-1");
  int deliveries = 0;
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry != "UpdateStructData" || ++deliveries != 1) return;
    UninitCloudSync();
    // Still inside the running call: the session stays until it returns, stop included.
    StopSync(kSyncType);
    const CloudSyncInitInfo info{"calendar", "t", "u", "a", "/tmp", "/tmp", "https://x/"};
    const SyncCallbacks callbacks = ModelDevice::Callbacks();
    InitCloudSync(&info, &callbacks);  // refused: changes nothing
  };
  b_->Activate();
  EXPECT_EQ(SyncDataWithReason(kSyncType, kDataType, 1, 2, 1), QUILLET_STOPPED);
  // The first batch was stored and recorded; the pass stopped at its next check point.
  EXPECT_THAT(b_->EventsOf("UpdateStructData"), ::testing::SizeIs(1));
  EXPECT_EQ(b_->EventsOf("OnDataSyncEnd").size(), 1u);
  EXPECT_EQ(b_->EventsOf("OnDataSyncEnd")[0].counts, std::vector<int>{QUILLET_STOPPED});
  // Torn down: the sessions are gone, the calendar one was never made.
  EXPECT_EQ(SyncDataNoReason(kSyncType, kDataType, 1, 100), QUILLET_NO_SESSION);
  EXPECT_EQ(SyncDataNoReason("calendar", kDataType, 1, 100), QUILLET_NO_SESSION);
  EndSync(kSyncType, kNoList, 0, kNoList, 0);
  StopSync(kSyncType);
  EXPECT_EQ(server().RequestCount("UNLOCK"), 0);  // a teardown releases no lock
  EXPECT_EQ(server().RequestCount("POST"), 0);
  EXPECT_EQ(b_->EventsOf("OnSyncEnd").size(), 0u);
  EXPECT_THAT(ErrorLog(*b_), HasSubstr("InitCloudSync refused"));
  EXPECT_EQ(RecordsWithGuid(*b_), 2);
  ExpectIntactAndConverging(7);
}

TEST_F(CallOrderTest, UninitFromAnotherThreadWaitsForTheCallWaitingOnItsLock) {
  Seed(3);
  server().AddFault(syncserver::Fault::Delay("LOCK", 1, 1500));
  b_->Activate();
  std::atomic<bool> returned{false};
  std::future<int> call = std::async(std::launch::async, [&] {
    const int code = SyncDataWithReason(kSyncType, kDataType, 1, 100, 1);
    returned = true;
    return code;
  });
  ASSERT_TRUE(AwaitReceived(server(), "LOCK", 1));
  UninitCloudSync();
  // Uninit came back only once the call had: it stopped at its first check point.
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(call.get(), QUILLET_STOPPED);
  EXPECT_THAT(Operations(server()), ElementsAre("LOCK"));
  EXPECT_EQ(SyncDataNoReason(kSyncType, kDataType, 1, 100), QUILLET_NO_SESSION);
  EXPECT_THAT(EntryNames(*b_), ElementsAre("OnDataSyncEnd"));
  ExpectIntactAndConverging(3);
}

TEST_F(CallOrderTest, CallsFromAnotherThreadDuringARunningCallAreRefusedAtOnce) {
  Seed(3);
  server().AddFault(syncserver::Fault::Delay("LOCK", 1, 1500));
  b_->Activate();
  std::future<int> call = std::async(
      std::launch::async, [&] { return SyncDataWithReason(kSyncType, kDataType, 1, 100, 1); });
  ASSERT_TRUE(AwaitReceived(server(), "LOCK", 1));
  const auto start = Clock::now();
  // Another data type of the round, and another sync type's first call.
  EXPECT_EQ(SyncDataWithReason(kSyncType, "contact", 2, 100, 1), QUILLET_INVALID_CALL);
  const CloudSyncInitInfo info{"calendar", kToken, kUser, "app", "/tmp", "/tmp", "https://x/"};
  const SyncCallbacks callbacks = ModelDevice::Callbacks();
  InitCloudSync(&info, &callbacks);  // refused while the call runs
  EXPECT_EQ(SyncDataNoReason("calendar", "event", 1, 100), QUILLET_INVALID_CALL);
  EndSync(kSyncType, kNoList, 0, kNoList, 0);
  const auto waited = Clock::now() - start;
  EXPECT_LT(waited, std::chrono::milliseconds(1000)) << "a refusal waited for the running call";

  EXPECT_EQ(call.get(), 0);
  EXPECT_EQ(server().RequestCount("UNLOCK"), 0);
  EndSync(kSyncType, kNoList, 0, kNoList, 0);
  EXPECT_EQ(server().RequestCount("UNLOCK"), 1);
  EXPECT_EQ(b_->EventsOf("OnSyncEnd").size(), 1u);
  // The refused InitCloudSync registered nothing.
  EXPECT_EQ(SyncDataNoReason("calendar", "event", 1, 100), QUILLET_NO_SESSION);
  ExpectIntactAndConverging(3);
}

TEST_F(CallOrderTest, CallsFromTheKeepAliveThreadsTokenRequestAreRefusedOrDeferred) {
  syncserver::SyncServerOptions options;
  options.interval_seconds = 1;
  options.lock_timeout_ms = 5000;
  StartServer(options);
  Seed(3);
  b_->freshToken = "token-2";
  std::atomic<bool> expired{false};
  std::atomic<int> nested{-100};
  std::atomic<bool> onTimerThread{false};
  std::atomic<bool> uninitReturned{false};
  const std::thread::id syncThread = std::this_thread::get_id();
  b_->onCall = [&](const HostEvent& event) {
    if (event.entry == "UpdateStructData" && !expired.exchange(true)) {
      // The next KEEPLOCK meets an expired token while this call waits here, and the
      // host's token callback on the keep-alive thread calls back into the library.
      service().ExpireToken(kToken);
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      while (!uninitReturned && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } else if (event.entry == "GetNewAT") {
      onTimerThread = std::this_thread::get_id() != syncThread;
      nested = SyncDataNoReason(kSyncType, kDataType, 1, 100);
      UninitCloudSync();  // cannot wait here: the sync call waits for this very thread
      uninitReturned = true;
    }
  };
  b_->Activate();
  EXPECT_EQ(SyncDataWithReason(kSyncType, kDataType, 1, 100, 1), QUILLET_STOPPED);
  EXPECT_EQ(b_->getNewAtCalls(), 1);
  EXPECT_TRUE(onTimerThread.load());
  EXPECT_EQ(nested.load(), QUILLET_INVALID_CALL);
  EXPECT_EQ(SyncDataNoReason(kSyncType, kDataType, 1, 100), QUILLET_NO_SESSION);
  EXPECT_THAT(RequestsOutsideTheLock(server()), IsEmpty());
  service().RenewToken(kToken);
  ExpectIntactAndConverging(3);
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
