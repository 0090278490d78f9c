// A session's round with the real protocol client against the test server: the lock at the
// first call, the lock's ctag handed to the pass, UNLOCK at the round's end and the ctags it
// returns stored. The store and the passes are scripted here.
#include <gtest/gtest.h>

#include "sync/net/net_factory.h"
#include "sync/net/net_test_support.h"
#include "sync/net/sdk_timer.h"
#include "sync/session/sync_session.h"
#include "sync/testing/session_fixture.h"

namespace quillet {
namespace testing {
namespace {

using NetRoundTest = NetTest;

TEST_F(NetRoundTest, RoundTakesTheLockHandsOnItsCtagAndStoresTheUnlockCtags) {
  server_.SetHandler([](const RecordedRequest& request) {
    const std::string target = request.Target();
    if (target.find("method=LOCK") != std::string::npos) {
      return Reply(200,
                   R"({"interval":30,"multistatus":[{"guid":"bookmark","props":{"ctag":"c1"}},)"
                   R"({"guid":"pcbookmark","props":{"ctag":"p1"}}]})",
                   {"Lock-Token: L-1"});
    }
    if (target.find("method=UNLOCK") != std::string::npos) {
      return Reply(200, R"({"updatersp":[{"guid":"bookmark","props":{"ctag":"c2"}},)"
                        R"({"guid":"pcbookmark","props":{"ctag":"p2"}}]})");
    }
    return Reply(404, "");
  });
  ScriptedServices script;
  SessionServices services = script.Services();
  std::vector<INetInterface*> clients;
  services.createNetInterface = [&clients](const NetConfig& config) {
    NetInterfacePtr client = CreateNetInterface(config);
    clients.push_back(client.get());
    return client;
  };
  NetConfig config = Config();
  config.SyncServerUrl.pop_back();  // the session adds the trailing "/"
  SyncSession session(config, services);

  EXPECT_EQ(0, session.SyncData(u"browser", u"bookmark", 1, 50));
  ASSERT_EQ(1u, script.downloads.size());
  EXPECT_EQ(u"c1", script.downloads[0].ctag);
  ASSERT_EQ(1u, clients.size());
  EXPECT_EQ(clients[0], script.downloads[0].net);
  EXPECT_EQ(30000, dynamic_cast<SdkTimer*>(clients[0])->Period());
  EXPECT_EQ(0, session.SyncData(u"browser", u"pcbookmark", 2, 50));  // no second lock
  EXPECT_EQ(u"p1", script.downloads[1].ctag);
  session.EndSync(u"browser");

  std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/vastre/u1/browser?method=LOCK", requests[0].Target());
  EXPECT_EQ("/vastre/u1/browser?method=UNLOCK", requests[1].Target());
  EXPECT_EQ("L-1", requests[1].Header("Lock-Token"));
  EXPECT_FALSE(dynamic_cast<SdkTimer*>(clients[0])->TimerRunning());
  const std::vector<std::pair<WString, WString>> stored = {{u"bookmark", u"c2"},
                                                           {u"pcbookmark", u"p2"}};
  EXPECT_EQ(stored, script.ctagUpdates);

  // The next round builds a new client, which locks again.
  script.downloadCode = 2006;
  EXPECT_EQ(2006, session.SyncData(u"browser", u"bookmark", 1, 50));
  ASSERT_EQ(2u, clients.size());
  session.EndSync(u"browser");
  EXPECT_EQ(4u, server_.RequestCount());
  EXPECT_EQ(stored, script.ctagUpdates);  // the failed type's ctag is not stored
}

}  // namespace
}  // namespace testing
}  // namespace quillet
