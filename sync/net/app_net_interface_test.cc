#include "sync/net/app_net_interface.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "sync/log/md5.h"
#include "sync/net/net_test_support.h"

namespace quillet {
namespace testing {
namespace {

using std::chrono::milliseconds;

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

class AppNetTest : public NetTest {
 protected:
  std::string LastTarget() const { return server_.Requests().back().Target(); }
  std::string LastBody() const { return server_.Requests().back().body; }
  bool ErrorLogged(const std::string& text) const { return LogCapture::Has(log_->Error(), text); }
  bool ErrorStarts(const std::string& text) const {
    return LogCapture::HasPrefix(log_->Error(), text);
  }
};

TEST_F(AppNetTest, EveryOperationPostsItsUrlAndBody) {
  AppNetInterface net(Config());
  EXPECT_EQ(Utf8ToWide(server_.BaseUrl()) + u"vastre/u1/browser", net.BaseUrl());
  CtagMap ctags;
  std::vector<EtagItem> etags;
  StructList records;
  int status = 0;

  net.Lock(ctags);
  EXPECT_EQ("/vastre/u1/browser?method=LOCK", LastTarget());
  EXPECT_EQ("", LastBody());
  net.KeepLock();
  EXPECT_EQ("/vastre/u1/browser?method=KEEPLOCK", LastTarget());
  net.Unlock(ctags);
  EXPECT_EQ("/vastre/u1/browser?method=UNLOCK", LastTarget());
  EXPECT_EQ("", LastBody());
  net.QueryCtag(ctags);
  EXPECT_EQ("/vastre/u1/browser?method=PROPFIND", LastTarget());
  EXPECT_EQ(R"({"propname":["ctag"]})", LastBody());
  net.GetEtagList(u"bookmark", etags);
  EXPECT_EQ("/vastre/u1/browser/bookmark?method=PROPFIND", LastTarget());
  EXPECT_EQ(R"({"propname":["etag"]})", LastBody());
  net.DownloadData(u"bookmark", {u"a", u"b"}, records);
  EXPECT_EQ("/vastre/u1/browser/bookmark?method=REPORT", LastTarget());
  EXPECT_EQ(R"({ "guids":["a","b"],"propname" : [] })", LastBody());
  net.DownloadData(u"bookmark", {}, records);
  EXPECT_EQ("", LastBody());
  net.AddData(u"bookmark", {{u"L1", u"D1"}, {u"L2", u"D2"}}, status);
  EXPECT_EQ("/vastre/u1/browser/bookmark?method=POST", LastTarget());
  EXPECT_EQ(R"({"add":[{"luid":"L1","data":"D1"},{"luid":"L2","data":"D2"}]})", LastBody());
  net.AddData(u"photo", {{u"L1", u"D1"}}, status);
  EXPECT_EQ("/vastre/u1/browser/photo?method=POST", LastTarget());
  EXPECT_EQ(R"({"add":[{"luid":"L1","data":"D1","props":{"status":2,"hash":")" + Md5Hex("D1") +
                R"("}}]})",
            LastBody());
  net.AddData(u"Bookmark", {}, status);  // empty list: empty body, still sent
  EXPECT_EQ("/vastre/u1/browser/Bookmark?method=POST", LastTarget());
  EXPECT_EQ("", LastBody());
  net.UpdateData(u"calendar", {{u"G1", u"D1"}}, status);
  EXPECT_EQ(R"({"update":[{"guid":"G1","data":"D1"}]})", LastBody());
  net.UpdateData(u"Calendar", {{u"G1", u"D\u00e9"}}, status);  // case-sensitive: carries a hash
  EXPECT_EQ(R"({"update":[{"guid":"G1","data":"D)"
            "\xc3\xa9"
            R"(","props":{"status":2,"hash":")" +
                Md5Hex(std::string("D") + kAnsiEAcute) + R"("}}]})",
            LastBody());
  net.RemoveData(u"bookmark", {u"g"}, status);
  EXPECT_EQ(R"({"remove":["g"]})", LastBody());
  net.RemoveData(u"bookmark", {u"g1", u"g2"}, status);
  EXPECT_EQ(R"({"remove":["g1","g2"]})", LastBody());
  net.RemoveData(u"bookmark", {}, status);
  EXPECT_EQ("", LastBody());
  EXPECT_EQ(15u, server_.RequestCount());
}

// The ids are path segments: none may climb the path, start a query or cut the URL, and
// ids of unreserved characters (every real one) give the URL they always gave.
TEST_F(AppNetTest, IdsStayInsideTheirPathSegments) {
  NetConfig config = Config(u"bro wser");
  config.UserID = u"alice/../../bob";
  AppNetInterface climbing(config);
  CtagMap ctags;
  climbing.Lock(ctags);
  ASSERT_EQ(1u, server_.RequestCount());
  EXPECT_EQ("/vastre/alice%2F..%2F..%2Fbob/bro%20wser?method=LOCK", LastTarget());

  config = Config();
  config.UserID = u"a?method=UNLOCK&x=";
  AppNetInterface query(config);
  query.Lock(ctags);
  EXPECT_EQ("/vastre/a%3Fmethod%3DUNLOCK%26x%3D/browser?method=LOCK", LastTarget());

  config.UserID = u"a#frag\u00e9";
  AppNetInterface fragment(config);
  std::vector<EtagItem> etags;
  fragment.GetEtagList(u"book/../mark", etags);
  EXPECT_EQ("/vastre/a%23frag%C3%A9/browser/book%2F..%2Fmark?method=PROPFIND", LastTarget());

  // Segments of dots only would be read as steps up the path.
  for (const auto& dots : {std::make_pair(u".", "%2E"), std::make_pair(u"..", "%2E%2E"),
                           std::make_pair(u"...", "%2E%2E%2E")}) {
    config.UserID = dots.first;
    AppNetInterface dotted(config);
    dotted.GetEtagList(dots.first, etags);
    EXPECT_EQ(std::string("/vastre/") + dots.second + "/browser/" + dots.second +
                  "?method=PROPFIND",
              LastTarget());
  }
  config.UserID = u"..a.";
  AppNetInterface mixed(config);
  EXPECT_EQ(Utf8ToWide(server_.BaseUrl()) + u"vastre/..a./browser", mixed.BaseUrl());

  config.UserID = u"User-1._~Az09";
  AppNetInterface plain(config);
  EXPECT_EQ(Utf8ToWide(server_.BaseUrl()) + u"vastre/User-1._~Az09/browser", plain.BaseUrl());
  EXPECT_EQ(6u, server_.RequestCount());
}

TEST_F(AppNetTest, ValuesWithQuotesAndBackslashesStayValidJson) {
  AppNetInterface net(Config());
  const WString data = u"say \"hi\" C:\\dir\n\ttab\x01";
  const WString id = u"id\"1\\";
  int status = 0;
  StructList records;
  const auto parsed = [this] {
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::string body = LastBody();
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(body.data(), body.data() + body.size(), &root, &errors))
        << body << errors;
    return root;
  };

  net.AddData(u"photo", {{id, data}}, status);
  Json::Value root = parsed();
  EXPECT_EQ(WideToUtf8(id), root["add"][0]["luid"].asString());
  EXPECT_EQ(WideToUtf8(data), root["add"][0]["data"].asString());
  // The hash is of the data itself, not of its escaped form.
  EXPECT_EQ(Md5Hex(WideToUtf8(data)), root["add"][0]["props"]["hash"].asString());
  net.UpdateData(u"bookmark", {{id, data}}, status);
  root = parsed();
  EXPECT_EQ(WideToUtf8(id), root["update"][0]["guid"].asString());
  EXPECT_EQ(WideToUtf8(data), root["update"][0]["data"].asString());
  net.RemoveData(u"bookmark", {id}, status);
  EXPECT_EQ(WideToUtf8(id), parsed()["remove"][0].asString());
  net.DownloadData(u"bookmark", {id, u"b"}, records);
  EXPECT_EQ(WideToUtf8(id), parsed()["guids"][0].asString());
}

TEST_F(AppNetTest, ResponsesDecodeWithTheirMemberRules) {
  AppNetInterface net(Config());
  server_.Enqueue(Reply(207, R"({"multistatus":[
      {"guid":"bookmark","props":{"ctag":"c1"}},
      {"guid":"bookmark","props":{"ctag":"c2"}},
      {"guid":true,"props":null}, null, 5]})"));
  CtagMap ctags;
  EXPECT_EQ(207, net.QueryCtag(ctags));
  ASSERT_EQ(3u, ctags.size());
  EXPECT_EQ(u"c2", ctags[u"bookmark"].ctag_value);  // the later entry wins
  EXPECT_EQ(u"bookmark", ctags[u"bookmark"].ctag_name);
  EXPECT_EQ(u"", ctags[u"true"].ctag_value);
  EXPECT_EQ(1u, ctags.count(u""));  // null element and a non-object: no members

  server_.Enqueue(
      Reply(200, R"({"multistatus":[{"guid":"g1","props":{"etag":"e1"}},{"guid":null}]})"));
  std::vector<EtagItem> etags(1);  // appended to
  EXPECT_EQ(200, net.GetEtagList(u"bookmark", etags));
  ASSERT_EQ(3u, etags.size());
  EXPECT_EQ(u"g1", etags[1].guid);
  EXPECT_EQ(u"e1", etags[1].etag);
  EXPECT_EQ(u"bookmark", etags[1].type);
  EXPECT_EQ(u"", etags[2].guid);
  EXPECT_EQ(0, etags[2].recycle_status);

  server_.Enqueue(Reply(200, "{\"multistatus\":[{\"guid\":\"g1\",\"data\":\"\xc3\xa9\"}]}"));
  StructList records;
  EXPECT_EQ(200, net.DownloadData(u"bookmark", {u"g1"}, records));
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(u"g1", records[0].guid);
  EXPECT_EQ(u"\u00e9", records[0].data);
  EXPECT_EQ(2, records[0].numberB);  // other fields keep their defaults

  server_.Enqueue(Reply(200, R"({"addrsp":[
      {"luid":"L1","guid":"G1","props":{"etag":"E1"}},
      {"luid":"L1","guid":"G9","status":5},
      {"luid":"L2","status":2.9}, {"luid":"L3","status":false}]})"));
  int status = 0;
  std::map<WString, AddResult> added = net.AddData(u"bookmark", {{u"L1", u"D"}}, status);
  EXPECT_EQ(200, status);
  ASSERT_EQ(3u, added.size());
  EXPECT_EQ(0, added[u"L1"].status);  // missing status: 0; the first entry wins
  EXPECT_EQ(u"G1", added[u"L1"].guid);
  EXPECT_EQ(u"E1", added[u"L1"].etag);
  EXPECT_EQ(2, added[u"L2"].status);
  EXPECT_EQ(0, added[u"L3"].status);

  server_.Enqueue(Reply(200, R"({"updatersp":[{"guid":"G1"},{"guid":"G1","status":200}]})"));
  std::map<WString, UpdateResult> updated = net.UpdateData(u"bookmark", {{u"G1", u"D"}}, status);
  ASSERT_EQ(1u, updated.size());
  EXPECT_EQ(-1, updated[u"G1"].status);  // missing status: -1; the first entry is kept

  server_.Enqueue(Reply(
      200,
      R"({"removersp":[{"guid":"G1","status":1},{"guid":"G1"},{"guid":"G2","status":true}]})"));
  std::map<WString, int> removed = net.RemoveData(u"bookmark", {u"G1"}, status);
  ASSERT_EQ(2u, removed.size());
  EXPECT_EQ(0, removed[u"G1"]);  // the last entry wins
  EXPECT_EQ(1, removed[u"G2"]);
  EXPECT_TRUE(log_->Error().empty());
}

TEST_F(AppNetTest, BrokenAnswersFailTheDataOperationsAndKeepNothing) {
  AppNetInterface net(Config());
  // Each body breaks after a first element that decodes well; none of it may be used.
  struct Case {
    std::string body;
    std::string message;
  };
  const std::vector<Case> etagCases = {
      {R"({"multistatus":[{"guid":"a","props":{"etag":"1"}},{"guid":777}]})",
       "analyze response of \"GetEtagList\" error: Type is not convertible to string"},
      {R"({"multistatus":[{"guid":"a","props":{"etag":"1"}},{"guid":"b")",
       "analyze response of \"GetEtagList\" error: "},
      {R"({"multistatus":[{"guid":"a","props":{"etag":"1"}}],"multistatus":[]})",
       "analyze response of \"GetEtagList\" error: "},
      {R"({"result":{"code":200}})", "\"GetEtagList\" response format(json) not match!"},
      {R"({"multistatus":[{"guid":"a","props":{"etag":"1"}}]} {"multistatus":[]})",
       "analyze response of \"GetEtagList\" error: "},
      {"", "analyze response of \"GetEtagList\" error: "},
  };
  for (const Case& c : etagCases) {
    SCOPED_TRACE(c.body);
    log_->Reset();
    server_.Enqueue(Reply(200, c.body));
    std::vector<EtagItem> etags(1);
    EXPECT_EQ(0, net.GetEtagList(u"bookmark", etags));
    EXPECT_EQ(1u, etags.size());  // nothing appended
    EXPECT_TRUE(ErrorStarts(c.message));
    EXPECT_TRUE(ErrorLogged("\"GetEtagList\" answer not read completely, operation failed"));
  }

  server_.Enqueue(Reply(200, R"({"multistatus":[{"guid":"a","data":"x"},{"guid":"b","data":{}}]})"));
  StructList records;
  EXPECT_EQ(0, net.DownloadData(u"bookmark", {u"a", u"b"}, records));
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(
      ErrorLogged("analyze response of \"DownloadData\" error: Type is not convertible to string"));

  // A cut add answer: its last entry would read as accepted with no etag.
  int status = 0;
  server_.Enqueue(Reply(200, R"({"addrsp":[{"luid":"L1","guid":"G1","props":{"etag":"E1"}},)"
                             R"({"luid":"L2","guid":"G2")"));
  EXPECT_TRUE(net.AddData(u"bookmark", {{u"L1", u"D"}, {u"L2", u"D"}}, status).empty());
  EXPECT_EQ(0, status);
  server_.Enqueue(Reply(200, R"({"addrsp":[{"luid":"L1","guid":"G1"},{"luid":"L2","guid":7}]})"));
  EXPECT_TRUE(net.AddData(u"bookmark", {{u"L1", u"D"}}, status).empty());
  EXPECT_EQ(0, status);
  EXPECT_TRUE(
      ErrorLogged("analyze response of \"AddData\" error: Type is not convertible to string"));
  server_.Enqueue(Reply(200, ""));
  EXPECT_TRUE(net.AddData(u"bookmark", {{u"L1", u"D"}}, status).empty());
  EXPECT_EQ(0, status);

  server_.Enqueue(
      Reply(200, R"({"removersp":[{"guid":"a","status":200},{"guid":"b","status":3000000000}]})"));
  EXPECT_TRUE(net.RemoveData(u"bookmark", {u"a", u"b"}, status).empty());
  EXPECT_TRUE(ErrorLogged("analyze response of \"RemoveData\" error: LargestInt out of Int range"));
  server_.Enqueue(Reply(200, R"({"removersp":[{"guid":"a","status":200}],"removersp":[]})"));
  EXPECT_TRUE(net.RemoveData(u"bookmark", {u"a"}, status).empty());
  server_.Enqueue(Reply(200, R"({"updatersp":[{"guid":"a","status":200},{"guid":"b","status":"ok"}]})"));
  EXPECT_TRUE(net.UpdateData(u"bookmark", {{u"a", u"D"}, {u"b", u"D"}}, status).empty());
  EXPECT_TRUE(
      ErrorLogged("analyze response of \"UpdateData\" error: Value is not convertible to Int."));
  server_.Enqueue(Reply(200, R"({"updatersp":"no"})"));
  EXPECT_TRUE(net.UpdateData(u"bookmark", {{u"a", u"D"}}, status).empty());
  EXPECT_TRUE(ErrorLogged("\"UpdateData\" response format(json) not match!"));
  EXPECT_TRUE(ErrorLogged("\"UpdateData\" answer not read completely, operation failed"));
}

TEST_F(AppNetTest, CtagAnswersWithoutTheirListKeepTheStatusButBrokenOnesFail) {
  AppNetInterface net(Config());
  CtagMap ctags;
  // Whole documents without the list: logged, the status stands, no ctag.
  server_.Enqueue(Reply(200, R"({"x":[]})"));
  EXPECT_EQ(200, net.QueryCtag(ctags));
  EXPECT_TRUE(ctags.empty());
  EXPECT_TRUE(ErrorLogged("\"QueryCtag\" response format(json) not match!"));
  server_.Enqueue(Reply(200, "[1]"));
  EXPECT_EQ(200, net.QueryCtag(ctags));

  // Cut off, duplicate member, wrong type: no answer, and no ctag of it is kept.
  const std::vector<std::string> broken = {
      R"({"multistatus":[{"guid":"a","props":{"ctag":"1"}},{"guid":"b")",
      R"({"multistatus":[{"guid":"a","props":{"ctag":"1"}}],"multistatus":[]})",
      R"({"multistatus":[{"guid":"a","props":{"ctag":"1"}},{"guid":"b","props":{"ctag":1}}]})"};
  for (const std::string& body : broken) {
    SCOPED_TRACE(body);
    server_.Enqueue(Reply(200, body));
    EXPECT_EQ(0, net.QueryCtag(ctags));
    EXPECT_TRUE(ctags.empty());
  }
  EXPECT_TRUE(
      ErrorLogged("analyze response of \"QueryCtag\" error: Type is not convertible to string"));

  // A broken LOCK answer holds nothing: no timer, no ctags.
  server_.Enqueue(Reply(200, R"({"interval":30,"multistatus":[{"guid":"a","props":{"ctag":"1"}})"));
  EXPECT_EQ(0, net.Lock(ctags));
  EXPECT_FALSE(net.TimerRunning());
  EXPECT_TRUE(ctags.empty());
  server_.Enqueue(Reply(200, R"({"interval":"30","multistatus":[]})"));
  EXPECT_EQ(0, net.Lock(ctags));
  EXPECT_FALSE(net.TimerRunning());
  EXPECT_TRUE(ErrorLogged("analyze response of \"Lock\" error: Value is not convertible to Int."));
}

TEST_F(AppNetTest, FailedStatusesGiveEmptyResultsWithoutLogs) {
  AppNetInterface net(Config());
  server_.SetDefault(Reply(404, R"({"updatersp":[{"guid":"a"}],"addrsp":[{"luid":"a"}]})"));
  int status = 0;
  EXPECT_TRUE(net.UpdateData(u"bookmark", {{u"a", u"D"}}, status).empty());
  EXPECT_TRUE(net.AddData(u"bookmark", {{u"a", u"D"}}, status).empty());
  EXPECT_EQ(404, status);
  CtagMap ctags;
  EXPECT_EQ(404, net.Lock(ctags));
  EXPECT_FALSE(net.TimerRunning());
  EXPECT_TRUE(log_->Error().empty());
}

TEST_F(AppNetTest, LockStartsTheKeepAliveTimerEvenWithoutCtags) {
  AppNetInterface net(Config());
  CtagMap ctags;
  server_.Enqueue(Reply(200, R"({"interval":30})"));
  EXPECT_EQ(200, net.Lock(ctags));
  EXPECT_TRUE(ctags.empty());
  EXPECT_TRUE(ErrorLogged("\"Lock\" response format(json) not match!"));
  EXPECT_TRUE(net.TimerRunning());
  EXPECT_EQ(30000, net.Period());

  // A second lock takes the interval but leaves the running timer alone.
  server_.Enqueue(
      Reply(200, R"({"interval":45,"multistatus":[{"guid":"bookmark","props":{"ctag":"7"}}]})"));
  EXPECT_EQ(200, net.Lock(ctags));
  EXPECT_EQ(u"7", ctags[u"bookmark"].ctag_value);
  EXPECT_EQ(45, net.Interval());
  EXPECT_EQ(30000, net.Period());
  net.StopTimer();

  AppNetInterface fresh(Config());
  server_.Enqueue(Reply(200, ""));  // empty body: a null root, 60 s
  EXPECT_EQ(200, fresh.Lock(ctags));
  EXPECT_EQ(60000, fresh.Period());

  AppNetInterface arrayRoot(Config());
  server_.Enqueue(Reply(200, "[1]"));
  log_->Reset();
  EXPECT_EQ(200, arrayRoot.Lock(ctags));
  EXPECT_FALSE(arrayRoot.TimerRunning());
  EXPECT_TRUE(log_->Error().empty());
}

TEST_F(AppNetTest, KeepLockRetimesOnlyWhenThePeriodChanges) {
  AppNetInterface net(Config());
  CtagMap ctags;
  server_.Enqueue(Reply(200, R"({"multistatus":[]})"));
  net.Lock(ctags);
  ASSERT_EQ(60000, net.Period());
  server_.Enqueue(Reply(200, R"({"interval":30})"));
  server_.Enqueue(Reply(200, R"({"interval":30})"));
  server_.Enqueue(Reply(500, R"({"interval":5})"));
  server_.Enqueue(Reply(200, R"({"interval":"5"})"));
  EXPECT_EQ(200, net.KeepLock());
  EXPECT_EQ(200, net.KeepLock());
  EXPECT_EQ(500, net.KeepLock());
  EXPECT_EQ(0, net.KeepLock());  // a mistyped interval: no answer, the period stays
  EXPECT_EQ(30000, net.Period());
  EXPECT_EQ(1u, LogCapture::Count(log_->Info(), "SdkTimer::ChangeTimer() enter."));
  EXPECT_TRUE(
      ErrorLogged("analyze response of \"KeepLock\" error: Value is not convertible to Int."));

  // Without a running timer an answer only updates the interval.
  net.StopTimer();
  server_.Enqueue(Reply(200, R"({"interval":20})"));
  net.KeepLock();
  EXPECT_EQ(20, net.Interval());
  EXPECT_FALSE(net.TimerRunning());
}

// One session's keep-alive ticks log while another session starts its rounds, each of
// which reconfigures logging. Every tick's line must reach the file. Run under TSan too.
TEST_F(AppNetTest, KeepAliveTicksLoseNoLogLineWhileAnotherSessionStartsRounds) {
  server_.SetHandler([](const RecordedRequest&) { return Reply(500, ""); });
  AppNetInterface ticking(Config());
  AppNetInterface starting(Config(u"calendar"));
  ticking.StartTimer(1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server_.CountTargets("method=KEEPLOCK") < 100 && std::chrono::steady_clock::now() < end) {
    ASSERT_TRUE(InitLogger(Config().LogPath));
    CtagMap ctags;
    starting.Lock(ctags);
  }
  ticking.StopTimer();
  const size_t ticks = server_.CountTargets("method=KEEPLOCK");
  EXPECT_GE(ticks, 100u);
  // Every renewal takes a connection of its own; on a slow machine (Wine) some fail before
  // the server counts them, so a tick's line stands for a request the server got or one
  // that failed with a line of its own.
  const size_t lines = LogCapture::Count(log_->Info(), "Timer trigger to KeepLock");
  const size_t failed = LogCapture::Count(log_->Error(), "HttpRequest Failed") +
                        LogCapture::Count(log_->Info(), "HttpRequest cut short");
  EXPECT_GE(lines, ticks);
  EXPECT_LE(lines, ticks + failed);
}

TEST_F(AppNetTest, KeepAliveIntervalsOutOfRangeAreClampedAndLogged) {
  AppNetInterface net(Config());
  CtagMap ctags;
  server_.Enqueue(Reply(200, R"({"interval":0,"multistatus":[]})"));
  EXPECT_EQ(200, net.Lock(ctags));
  EXPECT_EQ(60, net.Interval());
  EXPECT_EQ(60000, net.Period());
  EXPECT_TRUE(ErrorLogged("Keep-alive interval 0 out of range, using 60"));
  const std::vector<std::pair<std::string, int>> answers = {
      {R"({"interval":null})", 60}, {R"({"interval":-5})", 60},   {R"({"interval":2147483})", 3600},
      {R"({"interval":1})", 1},     {R"({"interval":3600})", 3600}, {R"({"interval":45})", 45}};
  for (const auto& answer : answers) {
    SCOPED_TRACE(answer.first);
    server_.Enqueue(Reply(200, answer.first));
    EXPECT_EQ(200, net.KeepLock());
    EXPECT_EQ(answer.second, net.Interval());
    EXPECT_EQ(answer.second * 1000, net.Period());
  }
  net.StopTimer();
}

TEST_F(AppNetTest, TicksSendKeepLockUntilUnlockEvenWhenUnlockFails) {
  // Failed KEEPLOCKs leave the period alone, so the short test period stays.
  server_.SetHandler([](const RecordedRequest&) { return Reply(500, ""); });
  AppNetInterface net(Config());
  net.StartTimer(15);
  ASSERT_TRUE(WaitFor([&] { return server_.CountTargets("method=KEEPLOCK") >= 2; }));
  EXPECT_TRUE(LogCapture::Has(log_->Info(), "Timer trigger to KeepLock"));
  CtagMap ctags;
  EXPECT_EQ(500, net.Unlock(ctags));
  EXPECT_FALSE(net.TimerRunning());
  const size_t keepLocks = server_.CountTargets("method=KEEPLOCK");
  std::this_thread::sleep_for(milliseconds(80));
  EXPECT_EQ(keepLocks, server_.CountTargets("method=KEEPLOCK"));
  EXPECT_EQ(1u, server_.CountTargets("method=UNLOCK"));
}

TEST_F(AppNetTest, NoKeepLockReachesTheServerAfterTheUnlock) {
  // A slow UNLOCK answer spans several periods of the fast timer; failed KEEPLOCKs keep
  // that period.
  server_.SetHandler([](const RecordedRequest& request) {
    if (request.Target().find("method=UNLOCK") == std::string::npos) return Reply(500, "");
    ScriptedResponse reply = Reply(200, "");
    reply.delayMs = 150;
    return reply;
  });
  AppNetInterface net(Config());
  net.StartTimer(10);
  ASSERT_TRUE(WaitFor([&] { return server_.CountTargets("method=KEEPLOCK") >= 2; }));
  CtagMap ctags;
  net.Unlock(ctags);
  std::this_thread::sleep_for(milliseconds(50));
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(std::string::npos, requests.back().Target().find("method=UNLOCK"));
  EXPECT_EQ(1u, server_.CountTargets("method=UNLOCK"));
}

TEST_F(AppNetTest, BrokenUnlockAnswersStoreNoCtag) {
  AppNetInterface net(Config());
  server_.Enqueue(Reply(
      200, R"({"updatersp":[{"guid":"a","props":{"ctag":"1"}},{"guid":"b","props":{"ctag":2}}]})"));
  CtagMap ctags;
  EXPECT_EQ(0, net.Unlock(ctags));
  EXPECT_TRUE(ctags.empty());
  EXPECT_TRUE(
      ErrorLogged("analyze response of \"Unlock\" error: Type is not convertible to string"));
  server_.Enqueue(Reply(200, R"({"multistatus":[]})"));
  EXPECT_EQ(200, net.Unlock(ctags));
  EXPECT_TRUE(ErrorLogged("\"QueryCtag\" response format(json) not match!"));
}

// Destruction cuts a running KEEPLOCK short (the answer would take 20 s) and waits for the
// tick to end before anything of the client goes.
TEST_F(AppNetTest, DestroyingAClientMidTickCutsTheKeepLockShortAndWaitsForTheTick) {
  server_.SetHandler([&](const RecordedRequest&) {
    ScriptedResponse response;
    response.delayMs = 20000;
    return response;
  });
  auto net = std::make_unique<AppNetInterface>(Config());
  net->StartTimer(10);
  ASSERT_TRUE(server_.WaitForRequests(1, 5000));
  const auto start = std::chrono::steady_clock::now();
  net.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2500));
  const std::vector<std::string> info = log_->Info();
  EXPECT_EQ(LogCapture::Count(info, "SdkTimer::TimerRoutine() enter."),
            LogCapture::Count(info, "SdkTimer::TimerRoutine() exit."));
#if defined(_WIN32)
  // A timer queue runs each tick on a pooled worker thread: ticks 10 ms apart overlap the
  // stuck answer, and deleting the timer cuts short and waits for every one of them.
  EXPECT_GE(LogCapture::Count(info, "SdkTimer::TimerRoutine() exit."), 1u);
#else
  EXPECT_EQ(1u, LogCapture::Count(info, "SdkTimer::TimerRoutine() exit."));
#endif
}

// A failed renewal loses the lock: no write goes out until a new LOCK holds one again.
TEST_F(AppNetTest, AFailedRenewalLosesTheLockAndRefusesEveryWriteUntilTheNextLock) {
  AppNetInterface net(Config());
  CtagMap ctags;
  int status = 0;
  EXPECT_FALSE(net.LockLost());  // no lock taken: nothing to lose
  server_.Enqueue(Reply(200, R"({"interval":60,"multistatus":[]})"));
  ASSERT_EQ(200, net.Lock(ctags));
  EXPECT_FALSE(net.LockLost());
  server_.Enqueue(Reply(423, R"({"result":{"code":3}})"));
  EXPECT_EQ(3, net.KeepLock());
  EXPECT_TRUE(net.LockLost());
  EXPECT_TRUE(ErrorStarts("The cloud lock of this round was lost (KEEPLOCK answered 3)"));

  const size_t sent = server_.RequestCount();
  EXPECT_TRUE(net.AddData(u"bookmark", {{u"L1", u"D1"}}, status).empty());
  EXPECT_EQ(AppNetInterface::kLockLostStatus, status);
  EXPECT_TRUE(net.UpdateData(u"bookmark", {{u"G1", u"D1"}}, status).empty());
  EXPECT_EQ(AppNetInterface::kLockLostStatus, status);
  EXPECT_TRUE(net.RemoveData(u"bookmark", {u"G1"}, status).empty());
  EXPECT_EQ(AppNetInterface::kLockLostStatus, status);
  EXPECT_EQ(sent, server_.RequestCount());
  EXPECT_TRUE(ErrorLogged("\"AddData\" not sent: the cloud lock of this round was lost"));
  // Reads are not writes: they still go out.
  std::vector<EtagItem> etags;
  server_.Enqueue(Reply(200, R"({"multistatus":[]})"));
  EXPECT_EQ(200, net.GetEtagList(u"bookmark", etags));

  // Unlock still releases, and the loss stays known for the round's end.
  server_.Enqueue(Reply(200, R"({"updatersp":[]})"));
  EXPECT_EQ(200, net.Unlock(ctags));
  EXPECT_TRUE(net.LockLost());

  server_.Enqueue(Reply(200, R"({"interval":60,"multistatus":[]})"));
  ASSERT_EQ(200, net.Lock(ctags));
  EXPECT_FALSE(net.LockLost());
  server_.Enqueue(Reply(200, R"({"addrsp":[]})"));
  net.AddData(u"bookmark", {{u"L1", u"D1"}}, status);
  EXPECT_EQ(200, status);
  net.StopTimer();
}

// No successful renewal within an interval and a half loses the lock too.
TEST_F(AppNetTest, ALockNotRenewedWithinAnIntervalAndAHalfIsLost) {
  AppNetInterface net(Config());
  CtagMap ctags;
  server_.Enqueue(Reply(200, R"({"interval":1,"multistatus":[]})"));
  ASSERT_EQ(200, net.Lock(ctags));
  net.StopTimer();  // no ticks: nothing renews it
  std::this_thread::sleep_for(milliseconds(1200));
  EXPECT_FALSE(net.LockLost());
  std::this_thread::sleep_for(milliseconds(400));
  EXPECT_TRUE(net.LockLost());
  EXPECT_TRUE(ErrorStarts("The cloud lock of this round was lost (no LOCK or KEEPLOCK held it"));
}

// A renewal stuck in its request holds UNLOCK (and destruction) up for about a second at
// most, not for the renewal's own deadline; being cut short does not lose the lock.
TEST_F(AppNetTest, UnlockCutsAStuckRenewalShort) {
  server_.SetHandler([](const RecordedRequest& request) {
    ScriptedResponse reply = Reply(200, R"({"interval":60,"multistatus":[],"updatersp":[]})");
    if (request.Target().find("method=KEEPLOCK") != std::string::npos) reply.delayMs = 20000;
    return reply;
  });
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destruction" : "unlock");
    auto net = std::make_unique<AppNetInterface>(Config());
    CtagMap ctags;
    ASSERT_EQ(200, net->Lock(ctags));
    net->StopTimer();
    net->StartTimer(10);
    ASSERT_TRUE(WaitFor([&] { return server_.CountTargets("method=KEEPLOCK") >= 1; }));
    const auto start = std::chrono::steady_clock::now();
    if (destroy) {
      net.reset();
    } else {
      EXPECT_EQ(200, net->Unlock(ctags));
      EXPECT_FALSE(net->LockLost());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    server_.ClearRequests();
  }
}

// The keep-alive thread and the sync thread share one transport: lock token lines, token
// refreshes and the DNS share handle are used from both at once. Run under ThreadSanitizer.
TEST_F(AppNetTest, KeepAliveTicksAndSyncRequestsShareTheTransportSafely) {
  host_ = std::make_shared<TokenHost>(std::vector<WString>{u"fresh1", u"fresh2", u"fresh3"});
  SetActiveAdapter(host_);
  const std::string firstAuthorization = BaseNetInterface::Base64UrlEncode("8:Other:app::token");
  std::atomic<int> served{0};
  server_.SetHandler([&](const RecordedRequest& request) {
    const int n = ++served;
    if (request.Header("Authorization") == firstAuthorization) return Reply(402, "");
    ScriptedResponse response =
        Reply(200, R"({"multistatus":[{"guid":"bookmark","props":{"ctag":"c"}}]})");
    response.headers.push_back("Lock-Token: t" + std::to_string(n));
    if (request.Target().find("KEEPLOCK") != std::string::npos) {
      response.body = R"({"interval":1})";
    }
    return response;
  });
  AppNetInterface net(Config());
  net.StartTimer(3);
  int ok = 0;
  for (int i = 0; i < 40; ++i) {
    CtagMap ctags;
    if (net.QueryCtag(ctags) == 200 && ctags[u"bookmark"].ctag_value == u"c") ++ok;
    // Answers re-time the timer to 1 s; keep it fast.
    net.ChangeTimer(3);
  }
  ASSERT_TRUE(WaitFor([&] { return server_.CountTargets("method=KEEPLOCK") >= 3; }));
  CtagMap ctags;
  net.Unlock(ctags);
  EXPECT_EQ(40, ok);
  EXPECT_GE(host_->Calls(), 1u);
  // Lock token lines written by one thread and read by the other are never torn.
  const std::vector<RecordedRequest> requests = server_.Requests();
  for (const RecordedRequest& request : requests) {
    if (!request.HasHeader("Lock-Token")) continue;
    EXPECT_TRUE(std::regex_match(request.Header("Lock-Token"), std::regex("t[0-9]+")));
  }
  EXPECT_TRUE(requests.back().HasHeader("Lock-Token"));
}

}  // namespace
}  // namespace testing
}  // namespace quillet
