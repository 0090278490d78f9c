#include "sync/net/net_factory.h"

#include <gtest/gtest.h>

#include "sync/net/client_variants.h"
#include "sync/net/net_test_support.h"

namespace quillet {
namespace testing {
namespace {

using NetFactoryTest = NetTest;

TEST_F(NetFactoryTest, BuildsAClientOnlyForTheExactSyncTypes) {
  NetInterfacePtr browser = CreateNetInterface(Config(u"browser"));
  EXPECT_NE(nullptr, dynamic_cast<BrowserNetInterface*>(browser.get()));
  NetInterfacePtr calendar = CreateNetInterface(Config(u"calendar"));
  EXPECT_NE(nullptr, dynamic_cast<CalendarNetInterface*>(calendar.get()));
  for (const WString type : {u"Browser", u"calendars", u"", u"browser ", u"bookmark"}) {
    EXPECT_EQ(nullptr, CreateNetInterface(Config(type))) << WideToUtf8(type);
  }
  EXPECT_EQ(0u, server_.RequestCount());  // building a client sends nothing
}

TEST_F(NetFactoryTest, VariantsSpeakTheProtocolUnderTheirSyncType) {
  NetInterfacePtr calendar = CreateNetInterface(Config(u"calendar"));
  server_.Enqueue(
      Reply(200, R"({"interval":1,"multistatus":[{"guid":"event","props":{"ctag":"9"}}]})"));
  CtagMap ctags;
  EXPECT_EQ(200, calendar->Lock(ctags));
  EXPECT_EQ(u"9", ctags[u"event"].ctag_value);
  EXPECT_EQ("/vastre/u1/calendar?method=LOCK", server_.Requests().back().Target());
  EXPECT_TRUE(server_.Requests().back().Header("x-qz-trace-id").rfind("calendar_11_", 0) == 0);
  EXPECT_TRUE(dynamic_cast<SdkTimer*>(calendar.get())->TimerRunning());
  calendar.reset();  // stops the timer; no UNLOCK goes out
  EXPECT_EQ(0u, server_.CountTargets("method=UNLOCK"));
}

}  // namespace
}  // namespace testing
}  // namespace quillet
