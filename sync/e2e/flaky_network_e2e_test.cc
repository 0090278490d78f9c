// Rounds through a TCP fault proxy between the library and the reference server: answers
// lost after the server served the request, renewals that cannot get through while the
// server lets the lock go, and a server that trickles its answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "sync/e2e/e2e_fixture.h"
#include "sync/net/base_net_interface.h"
#include "sync/testing/fault_proxy.h"

namespace quillet {
namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::FaultProxy;

class FlakyNetworkTest : public E2eTest {
 protected:
  // The server with options, and device a talking to it through the proxy (b goes direct).
  void StartBehindProxy(syncserver::SyncServerOptions options) {
    StartServer(options);
    proxy_ = std::make_unique<FaultProxy>(server().port());
    std::string error;
    ASSERT_TRUE(proxy_->Start(&error)) << error;
    a_ = std::make_unique<ModelDevice>("a", dir_ / ("run" + std::to_string(runs_)), proxy_->url(),
                                       kUser, kToken);
  }

  void TearDown() override {
    BaseNetInterface::SetDeadlinesForTesting(0, 0, 0);
    a_.reset();
    if (proxy_) proxy_->Stop();
    E2eTest::TearDown();
  }

  std::unique_ptr<FaultProxy> proxy_;
};

std::multiset<std::string> Data(const std::map<std::string, std::string>& byGuid) {
  std::multiset<std::string> data;
  for (const auto& entry : byGuid) data.insert(entry.second);
  return data;
}

// The server stores the batch and the answer never comes back, on the connection the
// earlier requests of the round used: the batch must not go out a second time.
TEST_F(FlakyNetworkTest, AnUploadWhoseAnswerIsLostIsStoredOnceAndTheNextRoundConverges) {
  StartBehindProxy(syncserver::SyncServerOptions());
  Seed(2);
  for (int i = 0; i < 10; ++i) a_->Add(RecordData("a", i));
  bool armed = false;
  a_->onCall = [&](const HostEvent& event) {
    // The records are read just before their upload: the request after this is the POST,
    // larger than any TLS handshake the client sends.
    if (event.entry != "DataQueryByID" || armed) return;
    armed = true;
    proxy_->DropAnswerAfter(1500);
  };
  EXPECT_EQ(a_->Sync(100), QUILLET_NO_RESPONSE);
  EXPECT_EQ(proxy_->Fired(), 1);
  EXPECT_EQ(server().ReceivedCount("POST"), 1) << "the batch was sent again";
  EXPECT_EQ(ServerRecords().size(), 12u);

  a_->onCall = nullptr;
  ASSERT_EQ(a_->Sync(100), 0);
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 12u);
  const auto data = Data(ServerRecords());
  for (const std::string& record : data) EXPECT_EQ(data.count(record), 1u) << record;
  ExpectConverged();
}

// Renewals stall while the server lets a's lock lapse and the other device writes: a must
// neither write on nor store the ctags UNLOCK reports, so its next round brings those
// writes down.
TEST_F(FlakyNetworkTest, ALapsedLockStopsTheWritesAndTheNextRoundBringsTheOtherDevicesChanges) {
  syncserver::SyncServerOptions options;
  options.interval_seconds = 1;
  options.lock_timeout_ms = 1500;
  StartBehindProxy(options);
  Seed(4);
  ASSERT_EQ(a_->Sync(100), 0);
  const std::string luid = a_->Add("a-local-1");
  bool done = false;
  a_->onCall = [&](const HostEvent& event) {
    if (event.entry != "OnDownloadSyncStart" || done) return;
    done = true;
    proxy_->Stall(true);
    const auto until = steady_clock::now() + std::chrono::seconds(10);
    while (!service().LockHolder({kUser, kSyncType}).empty() && steady_clock::now() < until) {
      std::this_thread::sleep_for(milliseconds(50));
    }
    // Past the renewal's own deadline too, whatever the machine's load.
    std::this_thread::sleep_for(milliseconds(1200));
    // Another device takes the free collection and writes: an edit and two additions.
    service().PutRecord({kUser, kSyncType}, kDataType, "seed-1", RecordData("b-edit", 1));
    service().PutRecord({kUser, kSyncType}, kDataType, "b-new-1", RecordData("b-new", 1));
    service().PutRecord({kUser, kSyncType}, kDataType, "b-new-2", RecordData("b-new", 2));
    proxy_->Stall(false);
  };
  const int postsBefore = server().ReceivedCount("POST");
  EXPECT_EQ(a_->Sync(100), QUILLET_LOCK_FAILED);
  EXPECT_EQ(server().ReceivedCount("POST"), postsBefore) << "a wrote without its lock";
  bool reported = false;
  for (const auto& report : a_->Reports()) {
    if (report.first == "LOCK" && report.second.rfind("Lock lost", 0) == 0) reported = true;
  }
  EXPECT_TRUE(reported);

  a_->onCall = nullptr;
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(a_->ByGuid().at("seed-1"), RecordData("b-edit", 1));
  EXPECT_EQ(a_->ByGuid().count("b-new-2"), 1u);
  EXPECT_FALSE(a_->Records().at(luid).guid.empty());
  ASSERT_EQ(b_->Sync(100), 0);
  EXPECT_EQ(ServerRecords().size(), 7u);
  ExpectConverged();
}

// A server that sends a few bytes a second never trips a stall limit; the total deadlines
// (shortened here: small answers 2 s, listings 1.5 s and then 1 KiB/s) end every request.
TEST_F(FlakyNetworkTest, ATricklingServerEndsEveryRequestWithinItsDeadline) {
  StartBehindProxy(syncserver::SyncServerOptions());
  BaseNetInterface::SetDeadlinesForTesting(2000, 1500, 1024);
  Seed(20);
  // Whatever happens, the proxy heals after 40 s: without deadlines the round ends then.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    const auto until = steady_clock::now() + std::chrono::seconds(40);
    while (!finished && steady_clock::now() < until) std::this_thread::sleep_for(milliseconds(50));
    proxy_->Pass();
  });

  // From the first byte: the LOCK (a small answer) ends by its deadline.
  proxy_->Trickle(4);
  auto start = steady_clock::now();
  EXPECT_EQ(a_->Sync(100), QUILLET_LOCK_FAILED);
  // LOCK and UNLOCK, each within 2 s.
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));

  // From the listing's answer on: the download (a large answer) ends by the floor rate, and
  // UNLOCK by its deadline.
  proxy_->Pass();
  a_->onCall = [&](const HostEvent& event) {
    if (event.entry == "OnDownloadSyncStart") proxy_->Trickle(4);
  };
  start = steady_clock::now();
  EXPECT_EQ(a_->Sync(100), QUILLET_NO_RESPONSE);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(12));
  finished = true;
  watchdog.join();

  a_->onCall = nullptr;
  proxy_->Pass();
  // That round's UNLOCK could not get out in time: its lock stays until it expires.
  service().ExpireLocks();
  ASSERT_EQ(a_->Sync(100), 0);
  EXPECT_EQ(a_->Records().size(), 20u);
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
