#include "tools/sync_server/sync_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "tools/sync_server/test_support.h"

namespace quillet::syncserver {
namespace {

using testing::Guids;
using testing::Reply;
using testing::TestClient;
using testing::TestOptions;

const SpaceKey kSpace{"u1", "browser"};

class SyncServerTest : public ::testing::Test {
 protected:
  void SetUp() override { StartWith(TestOptions()); }

  void StartWith(SyncServerOptions options) {
    server_ = std::make_unique<SyncServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  SyncService& service() { return server_->service(); }
  TestClient Client(const std::string& token = "token-1") {
    return TestClient(server_->port(), "u1", "browser", token);
  }

  std::unique_ptr<SyncServer> server_;
};

TEST_F(SyncServerTest, LockGrantsFreshTokenWithIntervalAndEveryCtag) {
  service().PutRecord(kSpace, "bookmark", "g1", "d1");
  service().PutRecord(kSpace, "history", "h1", "d2");
  service().PutRecord({"u2", "browser"}, "other", "x", "y");  // another user's space

  TestClient client = Client();
  Reply first = client.Lock();
  ASSERT_EQ(first.http, 200) << first.raw;
  EXPECT_EQ(first.status, 200);
  EXPECT_FALSE(first.lock_token.empty());
  EXPECT_EQ(first.body["interval"].asInt(), 60);
  ASSERT_EQ(Guids(first.body["multistatus"]), (std::vector<std::string>{"bookmark", "history"}));
  EXPECT_EQ(first.body["multistatus"][0]["props"]["ctag"].asString(),
            service().Ctag(kSpace, "bookmark"));
  EXPECT_EQ(first.body["multistatus"][1]["props"]["ctag"].asString(),
            service().Ctag(kSpace, "history"));
  EXPECT_EQ(service().LockHolder(kSpace), first.lock_token);

  // The holder locking again (its old token sent along) gets a new token.
  Reply again = client.Lock();
  ASSERT_EQ(again.status, 200);
  EXPECT_NE(again.lock_token, first.lock_token);
  EXPECT_EQ(service().LockHolder(kSpace), again.lock_token);
}

TEST_F(SyncServerTest, LiveLockOfAnotherClientRefusesLockAndWritesWithCode3) {
  TestClient a = Client();
  TestClient b = Client();
  ASSERT_EQ(a.Lock().status, 200);
  std::string before = service().Ctag(kSpace, "bookmark");

  EXPECT_EQ(b.Lock().status, kCodeLocked);
  EXPECT_EQ(b.Add("bookmark", {{"L1", "D1"}}).status, kCodeLocked);
  EXPECT_EQ(b.Unlock().status, kCodeLocked);
  EXPECT_EQ(b.KeepLock().status, kCodeLocked);
  // A stale token is no better than none.
  b.set_lock_token("stale-token");
  EXPECT_EQ(b.Remove("bookmark", {"g"}).status, kCodeLocked);
  EXPECT_TRUE(service().Records(kSpace, "bookmark").empty());
  EXPECT_EQ(service().Ctag(kSpace, "bookmark"), before);
  // Reads are not blocked by a lock.
  EXPECT_EQ(b.QueryCtag().status, 200);
  EXPECT_EQ(b.GetEtags("bookmark").status, 200);

  // The holder writes; after its UNLOCK the other client gets the lock.
  EXPECT_EQ(a.Add("bookmark", {{"L1", "D1"}}).status, 200);
  EXPECT_EQ(a.Unlock().status, 200);
  EXPECT_TRUE(service().LockHolder(kSpace).empty());
  EXPECT_EQ(b.Lock().status, 200);
  // Another sync type of the same user is a separate lock.
  TestClient calendar(server_->port(), "u1", "calendar");
  EXPECT_EQ(calendar.Lock().status, 200);
}

TEST_F(SyncServerTest, LockExpiresUnlessKeptAliveAndKeepLockRenewsIt) {
  service().SetLockTimeout(800);
  service().SetInterval(1);
  TestClient a = Client();
  TestClient b = Client();
  ASSERT_EQ(a.Lock().status, 200);

  for (int i = 0; i < 4; ++i) {  // 1200 ms in all, alive only through KEEPLOCK
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Reply keep = a.KeepLock();
    ASSERT_EQ(keep.status, 200) << keep.raw;
    EXPECT_EQ(keep.body["interval"].asInt(), 1);
  }
  EXPECT_EQ(b.Lock().status, kCodeLocked);

  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  EXPECT_TRUE(service().LockHolder(kSpace).empty());
  // An expired lock cannot be kept alive, and blocks no one.
  EXPECT_EQ(a.KeepLock().status, kCodeLocked);
  EXPECT_EQ(b.Lock().status, 200);
  // Now a's writes meet b's live lock.
  EXPECT_EQ(a.Add("bookmark", {{"L1", "D1"}}).status, kCodeLocked);
}

TEST_F(SyncServerTest, UnlockReleasesAndListsTheCtagsOfTheRound) {
  TestClient client = Client();
  ASSERT_EQ(client.Lock().status, 200);
  Reply added = client.Add("bookmark", {{"L1", "D1"}});
  ASSERT_EQ(added.status, 200);

  Reply unlock = client.Unlock();
  ASSERT_EQ(unlock.status, 200) << unlock.raw;
  ASSERT_EQ(Guids(unlock.body["updatersp"]), std::vector<std::string>{"bookmark"});
  EXPECT_EQ(unlock.body["updatersp"][0]["props"]["ctag"].asString(),
            service().Ctag(kSpace, "bookmark"));
  EXPECT_TRUE(service().LockHolder(kSpace).empty());
  // The client keeps sending its old token after an unlock; that is harmless.
  EXPECT_EQ(client.Unlock().status, 200);
  EXPECT_EQ(client.Add("bookmark", {{"L2", "D2"}}).status, 200);
}

TEST_F(SyncServerTest, AddUpdateRemoveAnswerPerItemAndReportReturnsRecords) {
  TestClient client = Client();
  const std::string hash = "0123456789abcdef0123456789abcdef";
  Reply added = client.Add("history", {{"L1", "first"}, {"L2", "second"}}, hash);
  ASSERT_EQ(added.status, 200) << added.raw;
  const Json::Value& addrsp = added.body["addrsp"];
  ASSERT_EQ(addrsp.size(), 2u);
  EXPECT_EQ(addrsp[0]["luid"].asString(), "L1");
  EXPECT_EQ(addrsp[1]["luid"].asString(), "L2");
  std::string g1 = addrsp[0]["guid"].asString();
  std::string g2 = addrsp[1]["guid"].asString();
  EXPECT_NE(g1, g2);
  for (const Json::Value& item : addrsp) {
    EXPECT_GE(item["status"].asInt(), 200);
    EXPECT_LE(item["status"].asInt(), 300);
    EXPECT_FALSE(item["props"]["etag"].asString().empty());
  }

  Reply etags = client.GetEtags("history");
  ASSERT_EQ(etags.status, 200);
  ASSERT_EQ(etags.body["multistatus"].size(), 2u);
  for (const Json::Value& item : etags.body["multistatus"]) {
    const Json::Value& match = item["guid"].asString() == g1 ? addrsp[0] : addrsp[1];
    EXPECT_EQ(item["props"]["etag"], match["props"]["etag"]);
  }

  // Unknown guids are left out of a report; the stored props come back with the etag.
  Reply report = client.Report("history", {g2, "no-such-guid", g1});
  ASSERT_EQ(report.status, 200);
  ASSERT_EQ(Guids(report.body["multistatus"]), (std::vector<std::string>{g2, g1}));
  EXPECT_EQ(report.body["multistatus"][0]["data"].asString(), "second");
  EXPECT_EQ(report.body["multistatus"][1]["data"].asString(), "first");
  EXPECT_EQ(report.body["multistatus"][1]["props"]["hash"].asString(), hash);
  EXPECT_EQ(report.body["multistatus"][1]["props"]["etag"], addrsp[0]["props"]["etag"]);

  Reply updated = client.Update("history", {{g1, "first v2"}, {"unknown", "x"}});
  ASSERT_EQ(updated.status, 200) << updated.raw;
  const Json::Value& updatersp = updated.body["updatersp"];
  ASSERT_EQ(updatersp.size(), 2u);
  EXPECT_EQ(updatersp[0]["guid"].asString(), g1);
  EXPECT_EQ(updatersp[0]["status"].asInt(), 200);
  EXPECT_NE(updatersp[0]["props"]["etag"], addrsp[0]["props"]["etag"]);
  EXPECT_EQ(updatersp[1]["status"].asInt(), 404);
  auto stored = service().FindRecord(kSpace, "history", g1);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->data, "first v2");
  EXPECT_EQ(stored->etag, updatersp[0]["props"]["etag"].asString());
  EXPECT_NE(stored->props.find(hash), std::string::npos);  // kept without new props

  Reply removed = client.Remove("history", {g2, "unknown"});
  ASSERT_EQ(removed.status, 200);
  ASSERT_EQ(removed.body["removersp"].size(), 2u);
  EXPECT_EQ(removed.body["removersp"][0]["status"].asInt(), 200);
  EXPECT_EQ(removed.body["removersp"][1]["guid"].asString(), "unknown");
  EXPECT_EQ(removed.body["removersp"][1]["status"].asInt(), 404);
  EXPECT_FALSE(service().FindRecord(kSpace, "history", g2));
  EXPECT_EQ(service().Records(kSpace, "history").size(), 1u);

  // Unknown collections are empty rather than errors.
  EXPECT_EQ(client.GetEtags("nothing").body["multistatus"].size(), 0u);
  EXPECT_EQ(client.Report("nothing", {"a"}).body["multistatus"].size(), 0u);
  EXPECT_EQ(client.Update("nothing", {{"a", "b"}}).body["updatersp"][0]["status"].asInt(), 404);
}

TEST_F(SyncServerTest, CtagChangesOnEveryWriteAndOnlyThen) {
  TestClient client = Client();
  Reply added = client.Add("bookmark", {{"L1", "D1"}});
  std::string guid = added.body["addrsp"][0]["guid"].asString();
  std::string after_add = service().Ctag(kSpace, "bookmark");
  ASSERT_FALSE(after_add.empty());

  client.GetEtags("bookmark");
  client.Report("bookmark", {guid});
  client.Lock();
  client.Unlock();
  client.Remove("bookmark", {"unknown"});
  client.Update("bookmark", {{"unknown", "x"}});
  EXPECT_EQ(service().Ctag(kSpace, "bookmark"), after_add);

  client.Update("bookmark", {{guid, "D1"}});  // same data is still a new version
  std::string after_update = service().Ctag(kSpace, "bookmark");
  EXPECT_NE(after_update, after_add);
  client.Remove("bookmark", {guid});
  std::string after_remove = service().Ctag(kSpace, "bookmark");
  EXPECT_NE(after_remove, after_update);
  EXPECT_NE(after_remove, after_add);

  // The PROPFIND listing of ctags agrees with the server's view.
  Reply ctags = client.QueryCtag();
  ASSERT_EQ(ctags.body["multistatus"].size(), 1u);
  EXPECT_EQ(ctags.body["multistatus"][0]["props"]["ctag"].asString(), after_remove);
}

TEST_F(SyncServerTest, AddBatchPastTheLimitIsRefusedWhole) {
  service().SetCollectionLimit("bookmark", 3);
  service().SetCollectionLimit("pcbookmark", 1);
  TestClient client = Client();
  ASSERT_EQ(client.Add("bookmark", {{"L1", "D1"}, {"L2", "D2"}}).status, 200);
  std::string ctag = service().Ctag(kSpace, "bookmark");

  Reply refused = client.Add("bookmark", {{"L3", "D3"}, {"L4", "D4"}});
  EXPECT_EQ(refused.status, kCodeBookmarkLimit) << refused.raw;
  EXPECT_EQ(service().Records(kSpace, "bookmark").size(), 2u);
  EXPECT_EQ(service().Ctag(kSpace, "bookmark"), ctag);

  EXPECT_EQ(client.Add("bookmark", {{"L3", "D3"}}).status, 200);  // exactly at the limit
  EXPECT_EQ(client.Add("bookmark", {{"L4", "D4"}}).status, kCodeBookmarkLimit);
  EXPECT_EQ(service().Records(kSpace, "bookmark").size(), 3u);
  // Updates do not grow a collection; the other collection name has its own code.
  std::string guid = service().Records(kSpace, "bookmark")[0].guid;
  EXPECT_EQ(client.Update("bookmark", {{guid, "new"}}).status, 200);
  EXPECT_EQ(client.Add("pcbookmark", {{"P1", "D"}, {"P2", "D"}}).status, kCodePcBookmarkLimit);
  EXPECT_EQ(client.Add("history", {{"H1", "D"}, {"H2", "D"}, {"H3", "D"}, {"H4", "D"}}).status,
            200);
}

TEST_F(SyncServerTest, ExpiredTokenAnswers402AndOtherTokensPass) {
  service().ExpireToken("old token/1");
  TestClient client = Client("old+token%2F1");  // as the library URL-encodes it
  Reply expired = client.Lock();
  EXPECT_EQ(expired.http, 402);
  EXPECT_EQ(expired.status, kCodeTokenExpired);
  EXPECT_EQ(client.Add("bookmark", {{"L1", "D1"}}).status, kCodeTokenExpired);
  EXPECT_TRUE(service().LockHolder(kSpace).empty());
  EXPECT_TRUE(service().Records(kSpace, "bookmark").empty());

  client.set_token("fresh");
  EXPECT_EQ(client.Lock().status, 200);
  service().RenewToken("old token/1");
  client.set_token("old+token%2F1");
  EXPECT_EQ(client.KeepLock().status, 200);

  // Without credentials, or with a credential that carries no token, nothing is served.
  EXPECT_EQ(client.Send("", "LOCK", "", false).status, 401);
  client.set_token("");
  EXPECT_EQ(client.Lock().status, 401);
}

TEST_F(SyncServerTest, MalformedRequestsGetA400ClassAnswerAndChangeNothing) {
  TestClient client = Client();
  struct Case {
    std::string collection, method, body;
    int status;
  };
  const std::vector<Case> cases = {
      {"bookmark", "POST", "{\"add\":[{\"luid\":\"L1\",\"data\":\"a \"quoted\" word\"}]}", 400},
      {"bookmark", "POST", "{\"add\":[", 400},
      {"bookmark", "POST", "[1,2]", 400},
      {"bookmark", "POST", "{\"add\":{}}", 400},
      {"bookmark", "POST",
       "{\"add\":[{\"luid\":\"L1\",\"data\":\"ok\"},{\"luid\":1,\"data\":\"x\"}]}", 400},
      {"bookmark", "POST", "{\"add\":[{\"luid\":\"L1\",\"data\":\"x\",\"props\":7}]}", 400},
      {"bookmark", "POST", "{\"add\":[],\"remove\":[]}", 400},
      {"bookmark", "POST", "{\"nothing\":[]}", 400},
      {"bookmark", "POST", "{\"update\":[{\"guid\":\"g\"}]}", 400},
      {"bookmark", "POST", "{\"remove\":[\"g\",{}]}", 400},
      {"bookmark", "REPORT", "{ \"guids\":[1],\"propname\" : [] }", 400},
      {"bookmark", "REPORT", "{\"propname\":[]}", 400},
      {"bookmark", "PROPFIND", "{\"propname\":\"etag\"}", 400},
      {"bookmark", "PROPFIND", std::string(200000, '['), 400},
      {"bookmark", "FETCH", "", 400},
      {"bookmark", "", "", 400},
      {"bookmark", "LOCK", "", 400},
      {"", "POST", "{\"add\":[]}", 400},
      {"", "REPORT", "", 400},
  };
  for (const Case& c : cases) {
    Reply reply = client.Send(c.collection, c.method, c.body);
    EXPECT_EQ(reply.http, c.status) << c.method << " " << c.body.substr(0, 80);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.body.substr(0, 80);
    EXPECT_TRUE(reply.body["result"]["msg"].isString()) << reply.raw.substr(0, 200);
  }
  EXPECT_TRUE(service().Records(kSpace, "bookmark").empty());
  EXPECT_TRUE(service().Ctag(kSpace, "bookmark").empty());

  // Paths of another shape, and methods other than POST.
  httplib::SSLClient raw("127.0.0.1", server_->port());
  raw.enable_server_certificate_verification(false);
  httplib::Headers auth = {{"Authorization", testing::Base64Url("8:D:A::t")}};
  EXPECT_EQ(raw.Post("/sync/u1/browser?method=LOCK", auth, "", "application/json")->status, 404);
  EXPECT_EQ(raw.Post("/vastre/u1?method=LOCK", auth, "", "application/json")->status, 404);
  EXPECT_EQ(raw.Post("/vastre/u1/browser/a/b?method=LOCK", auth, "", "application/json")->status,
            404);
  EXPECT_EQ(raw.Get("/vastre/u1/browser?method=LOCK", auth)->status, 405);
  EXPECT_EQ(raw.Post("/vastre/u1/browser?method=LOCK", {{"Authorization", "not base64 at all!"}},
                     "", "application/json")
                ->status,
            401);

  // Empty lists give empty bodies; they are answered, not refused.
  Reply empty_report = client.Report("bookmark", {});
  EXPECT_EQ(empty_report.status, 200);
  EXPECT_EQ(empty_report.body["multistatus"].size(), 0u);
  EXPECT_EQ(client.Send("bookmark", "POST", "").status, 200);
  EXPECT_EQ(client.Send("", "PROPFIND", "").status, 200);
  EXPECT_EQ(client.Send("", "lock", "").status, 200);  // method names in any case
}

TEST_F(SyncServerTest, OddButValidTextIsStoredExactly) {
  TestClient client = Client();
  // Escaped quotes, backslashes, non-ASCII text and an escaped zero byte survive the trip.
  const std::string data = "say \\\"hi\\\" \\\\ caf\xC3\xA9 \\u0000 end";
  const std::string expected = std::string("say \"hi\" \\ caf\xC3\xA9 ") + '\0' + " end";
  Reply added = client.Add("bookmark", {{"luid \\\"1\\\"", data}});
  ASSERT_EQ(added.status, 200) << added.raw;
  EXPECT_EQ(added.body["addrsp"][0]["luid"].asString(), "luid \"1\"");
  std::string guid = added.body["addrsp"][0]["guid"].asString();
  Reply report = client.Report("bookmark", {guid});
  ASSERT_EQ(report.body["multistatus"].size(), 1u);
  EXPECT_EQ(report.body["multistatus"][0]["data"].asString(), expected);
}

TEST_F(SyncServerTest, ScriptedStatusFaultHitsOnlyTheNthRequestOfItsMethod) {
  server_->AddFault(Fault::Status("REPORT", 2, 500));
  server_->AddFault(Fault::Status("post", 1, 200, 0));  // a "code" 0 on HTTP 200
  TestClient client = Client();
  service().PutRecord(kSpace, "bookmark", "g1", "d1");

  EXPECT_EQ(client.Report("bookmark", {"g1"}).status, 200);
  Reply failed = client.Report("bookmark", {"g1"});
  EXPECT_EQ(failed.http, 500);
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(client.Report("bookmark", {"g1"}).status, 200);

  std::string ctag = service().Ctag(kSpace, "bookmark");
  Reply zero = client.Add("bookmark", {{"L1", "D1"}});
  EXPECT_EQ(zero.http, 200);
  EXPECT_EQ(zero.status, 0);
  EXPECT_EQ(service().Ctag(kSpace, "bookmark"), ctag);  // the faulted request did nothing
  EXPECT_EQ(client.Add("bookmark", {{"L1", "D1"}}).status, 200);

  EXPECT_EQ(server_->RequestCount("REPORT"), 3);
  EXPECT_EQ(server_->RequestCount("POST"), 2);
  EXPECT_EQ(server_->RequestCount("PROPFIND"), 0);
  std::vector<LoggedRequest> log = server_->Requests();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_TRUE(log[1].faulted);
  EXPECT_FALSE(log[2].faulted);
  EXPECT_EQ(log[3].collection, "bookmark");
  EXPECT_EQ(log[3].user, "u1");

  // times 0: every request from the nth on.
  Fault every = Fault::Status("*", 2, 503);
  every.times = 0;
  server_->ClearFaults();
  server_->AddFault(every);
  EXPECT_EQ(client.QueryCtag().status, 200);
  EXPECT_EQ(client.QueryCtag().status, 503);
  EXPECT_EQ(client.Lock().status, 503);
  server_->ClearFaults();
  EXPECT_EQ(client.Lock().status, 200);
}

TEST_F(SyncServerTest, CountsRequestsPerMethodAndTheConnectionsThatCarriedThem) {
  {
    TestClient separate = Client();  // a connection per request
    ASSERT_EQ(separate.Lock().status, 200);
    EXPECT_EQ(separate.QueryCtag().status, 200);
    EXPECT_EQ(server_->Connections().accepted, 2);

    TestClient kept = Client();
    kept.set_keep_alive(true);
    kept.set_lock_token(separate.lock_token());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kept.QueryCtag().status, 200);
    EXPECT_EQ(kept.Unlock().status, 200);
    EXPECT_EQ(server_->Connections().accepted, 3);
    EXPECT_EQ(server_->Connections().resumed, 0);  // this client keeps no TLS sessions
    EXPECT_EQ(server_->RequestCounts(),
              (std::map<std::string, int>{{"LOCK", 1}, {"PROPFIND", 4}, {"UNLOCK", 1}}));
  }  // the kept connection closes here, or Stop would wait for it to time out

  // Read after the run: the counts survive Stop, and a new Start counts from zero.
  server_->Stop();
  EXPECT_EQ(server_->Connections().accepted, 3);
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
  EXPECT_EQ(server_->Connections().accepted, 0);
}

TEST_F(SyncServerTest, RequestRecordHoldsEveryRequestAsReceivedAcrossRestarts) {
  testing::TempDir dir;
  SyncServerOptions options = TestOptions();
  options.request_record_file = dir.path() + "/requests.txt";
  StartWith(options);
  std::string lock;
  {
    TestClient client = Client();
    ASSERT_EQ(client.Lock().status, 200);
    lock = client.lock_token();
    client.set_keep_alive(true);  // two requests on one connection are two records
    EXPECT_EQ(client.QueryCtag().status, 200);
    EXPECT_EQ(client.Add("bookmark", {{"L1", "a\nb"}}).status, 200);
  }  // the kept connection closes here, or Stop would wait for it to time out
  // A restart appends instead of starting the record over.
  server_->Stop();
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
  EXPECT_EQ(Client().Send("", "UNLOCK", "").http, 200);

  std::ifstream in(options.request_record_file, std::ios::binary);
  const std::string record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string auth = "Authorization: " + testing::Base64Url("8:DEVICE1:app-1::token-1");
  const std::string expected_ctag_body = "{\"propname\":[\"ctag\"]}";
  EXPECT_NE(record.find("== POST /sync/vastre/u1/browser?method=LOCK HTTP/1.1\n"), std::string::npos)
      << record;
  EXPECT_NE(record.find("\n" + auth + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\nLock-Token: " + lock + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\n-- body " + std::to_string(expected_ctag_body.size()) + "\n" +
                        expected_ctag_body + "\n"),
            std::string::npos)
      << record;
  EXPECT_NE(record.find("?method=UNLOCK HTTP/1.1\n"), std::string::npos) << record;
  size_t requests = 0;
  for (size_t at = record.find("== "); at != std::string::npos; at = record.find("\n== ", at + 1)) {
    ++requests;
  }
  EXPECT_EQ(requests, 4u);
  // httplib's own entries for the peer's address are not what the client sent.
  EXPECT_EQ(record.find("REMOTE_"), std::string::npos);

  // A record that cannot be written stops the start.
  options.request_record_file = dir.path() + "/missing/requests.txt";
  SyncServer refused(options);
  EXPECT_FALSE(refused.Start(&error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

TEST_F(SyncServerTest, BrokenBodyFaultServesTheRequestButCutsTheAnswer) {
  server_->AddFault(Fault::BrokenBody("POST", 1));
  TestClient client = Client();
  Reply cut = client.Add("bookmark", {{"L1", "D1"}, {"L2", "D2"}});
  EXPECT_EQ(cut.http, 200);
  EXPECT_TRUE(cut.body.isNull()) << cut.raw;  // not valid JSON any more
  EXPECT_FALSE(cut.raw.empty());
  EXPECT_EQ(service().Records(kSpace, "bookmark").size(), 2u);
}

TEST_F(SyncServerTest, DelayFaultHoldsTheAnswerAndStopCutsItShort) {
  server_->AddFault(Fault::Delay("KEEPLOCK", 1, 300));
  TestClient client = Client();
  ASSERT_EQ(client.Lock().status, 200);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.KeepLock().status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

  // A delayed request does not keep Stop waiting for the whole delay.
  server_->AddFault(Fault::Delay("PROPFIND", 1, 60000));
  std::thread slow([&] { client.QueryCtag(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  start = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  slow.join();
  EXPECT_FALSE(server_->running());
}

TEST_F(SyncServerTest, ParallelWritersGetDistinctGuidsAndNothingIsLost) {
  constexpr int kThreads = 4;
  constexpr int kBatches = 10;
  constexpr int kBatch = 20;
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> guids(kThreads);
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TestClient client = Client();
      for (int b = 0; b < kBatches; ++b) {
        std::vector<std::pair<std::string, std::string>> items;
        for (int i = 0; i < kBatch; ++i) {
          items.emplace_back("L" + std::to_string(t) + "-" + std::to_string(b * kBatch + i), "d");
        }
        Reply reply = client.Add("bookmark", items);
        if (reply.status != 200) ++failures;
        for (const std::string& g : Guids(reply.body["addrsp"])) guids[t].push_back(g);
        client.GetEtags("bookmark");
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> all;
  for (const auto& list : guids) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kBatches * kBatch));
  EXPECT_EQ(service().Records(kSpace, "bookmark").size(), all.size());
}

TEST(SyncPathTest, AcceptsAnyPrefixAndAnOptionalCollection) {
  SpaceKey space;
  std::string collection;
  ASSERT_TRUE(ParseSyncPath("/a/b/vastre/u%201/browser", &space, &collection));
  EXPECT_EQ(space, (SpaceKey{"u%201", "browser"}));
  EXPECT_EQ(collection, "");
  ASSERT_TRUE(ParseSyncPath("/vastre/u/t/bookmark", &space, &collection));
  EXPECT_EQ(collection, "bookmark");
  EXPECT_FALSE(ParseSyncPath("/vastre/u/", &space, &collection));
  EXPECT_FALSE(ParseSyncPath("/vastre//t", &space, &collection));
  EXPECT_FALSE(ParseSyncPath("/vastre/u/t/", &space, &collection));
  EXPECT_FALSE(ParseSyncPath("/vastreX/u/t", &space, &collection));
  EXPECT_FALSE(ParseSyncPath("vastre/u/t", &space, &collection));
}

TEST(AccessTokenTest, ReadsTheFifthFieldOfTheCredentialUrlDecoded) {
  std::string token;
  ASSERT_TRUE(ParseAccessToken(testing::Base64Url("8:DEV:APP::a+b%2Fc"), &token));
  EXPECT_EQ(token, "a b/c");
  // Colons inside the token belong to it; fill characters may be missing.
  ASSERT_TRUE(ParseAccessToken(testing::Base64Url("8:Other:APP::x:y"), &token));
  EXPECT_EQ(token, "x:y");
  std::string unpadded = testing::Base64Url("8:D:A::tok");
  while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
  ASSERT_TRUE(ParseAccessToken(unpadded, &token));
  EXPECT_EQ(token, "tok");
  EXPECT_FALSE(ParseAccessToken(testing::Base64Url("8:D:A:tok"), &token));
  EXPECT_FALSE(ParseAccessToken("", &token));
  EXPECT_FALSE(ParseAccessToken("a*b", &token));
}

}  // namespace
}  // namespace quillet::syncserver
