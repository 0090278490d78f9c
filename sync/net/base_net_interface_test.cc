#include "sync/net/base_net_interface.h"

#include "sync/testing/socket_shim.h"
// After winsock2.h, which must come before the windows.h that OpenSSL's headers include.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <system_error>
#include <thread>

#include "sync/net/net_test_support.h"

namespace quillet {
namespace testing {
namespace {

using BaseNetTest = NetTest;

std::string Authorization(const std::string& credential) {
  return "Authorization:" + BaseNetInterface::Base64UrlEncode(credential);
}

int Send(BaseNetInterface& net, const HttpsTestServer& server, const std::string& path,
         const WString& body = WString(), std::string* response = nullptr) {
  std::string received;
  const int status = net.SendRequest(Utf8ToWide(server.BaseUrl() + path), body, received);
  if (response) *response = received;
  return status;
}

TEST_F(BaseNetTest, FirstRequestCarriesTheProtocolHeadersInMapOrder) {
#if defined(_WIN32)
  // The UI language of the Windows session; it cannot be changed for one process.
  const std::string language = "Accept-Language:" + WideToUtf8(platform::PreferredUiLanguage());
#else
  ScopedEnv languageEnv("LANGUAGE", "fr_FR.UTF-8");
  const std::string language = "Accept-Language:fr-FR";
#endif
  BaseNetInterface net(Config());
  ASSERT_EQ(200, Send(net, server_, "vastre/u1/browser?method=LOCK"));

  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("POST /vastre/u1/browser?method=LOCK HTTP/1.1", requests[0].requestLine);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server_.port());
  const std::vector<std::string>& lines = requests[0].headerLines;
  ASSERT_EQ(12u, lines.size());
  EXPECT_EQ(host, lines[0]);
  EXPECT_EQ("Accept: */*", lines[1]);
  const std::vector<std::string> protocol(lines.begin() + 2, lines.begin() + 11);
  EXPECT_EQ("Content-Type:application/json; charset=UTF-8", protocol[0]);
  EXPECT_EQ(language, protocol[1]);
  EXPECT_EQ(Authorization("8:Other:app::token"), protocol[2]);
  EXPECT_EQ("encversion:0", protocol[3]);
  EXPECT_EQ("userId:u1", protocol[4]);
  EXPECT_EQ("version:0", protocol[5]);
  EXPECT_EQ("x-qz-os:windows", protocol[6]);
  EXPECT_EQ("x-qz-terminal:PC", protocol[7]);
  EXPECT_TRUE(std::regex_match(protocol[8], std::regex("x-qz-trace-id:browser_11_[0-9]+_[0-9]{8}")))
      << protocol[8];
  // An empty body still goes out as a POST with the JSON content type.
  EXPECT_EQ("Content-Length: 0", lines[11]);
  EXPECT_EQ("", requests[0].body);
}

TEST_F(BaseNetTest, LockTokenLineIsCapturedCaseSensitivelyAndSentOnEveryLaterRequest) {
  server_.Enqueue(Reply(200, "", {"lock-token: lower"}));
  server_.Enqueue(Reply(200, "", {"Lock-Token: abc"}));
  server_.Enqueue(Reply(500, ""));
  BaseNetInterface net(Config());
  Send(net, server_, "a");
  EXPECT_EQ("", net.LockTokenLine());
  Send(net, server_, "b");
  EXPECT_EQ("Lock-Token: abc", net.LockTokenLine());
  Send(net, server_, "c");  // a failed request keeps it
  Send(net, server_, "d?method=UNLOCK");

  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(4u, requests.size());
  EXPECT_FALSE(requests[1].HasHeader("Lock-Token"));
  for (size_t i = 2; i < 4; ++i) {
    ASSERT_GE(requests[i].headerLines.size(), 4u);
    EXPECT_EQ("Content-Type:application/json; charset=UTF-8", requests[i].headerLines[2]);
    EXPECT_EQ("Lock-Token: abc", requests[i].headerLines[3]);
  }
}

TEST_F(BaseNetTest, ResultCodeInTheBodyReplacesTheHttpStatus) {
  struct Case {
    int http;
    std::string body;
    int expected;
    bool logsError;
  };
  const std::vector<Case> cases = {
      {500, R"({"result":{"code":201}})", 201, false},
      {200, R"({"result":{"code":0}})", 0, false},
      {200, R"({"result":{"code":"x"}})", 200, true},
      {200, R"({"result":{"code":[1]}})", 200, true},
      {200, R"({"result":{"code":3000000000}})", 200, true},
      {200, R"({"result":{"code":true}})", 1, false},
      {200, R"({"result":{"code":2.9}})", 2, false},
      {200, R"({"result":{"code":null}})", 0, false},
      {200, R"({"result":{"code":201)", 201, false},  // truncated: what was read counts
      {404, R"({"result":{}})", 404, false},
      {404, R"({"result":[{"code":1}]})", 404, false},
      {404, R"({"result":7})", 404, false},
      {404, R"([{"result":{"code":1}}])", 404, false},
      {404, R"({"result":{"code":1}} // comment)", 1, false},
      {404, "not json", 404, false},
  };
  BaseNetInterface net(Config());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    server_.Enqueue(Reply(c.http, c.body));
    log_->Reset();
    EXPECT_EQ(c.expected, Send(net, server_, "x"));
    const std::vector<std::string> errors = log_->Error();
    EXPECT_EQ(c.logsError, !errors.empty());
    for (const std::string& line : errors) {
      EXPECT_NE(std::string::npos, line.find("ReadResultCode error: ")) << line;
    }
  }
  log_->Reset();
  server_.Enqueue(Reply(200, R"({"result":{"code":"x"}})"));
  Send(net, server_, "x");
  EXPECT_TRUE(
      LogCapture::Has(log_->Error(), "ReadResultCode error: Value is not convertible to Int."));
}

TEST_F(BaseNetTest, Status402RefreshesTheTokenOnceAndRetries) {
  host_ = std::make_shared<TokenHost>(std::vector<WString>{u"a b/c", u"second"});
  SetActiveAdapter(host_);
  server_.Enqueue(Reply(402, "expired"));
  server_.Enqueue(Reply(200, R"({"ok":1})"));
  BaseNetInterface net(Config());
  std::string response;
  EXPECT_EQ(200, Send(net, server_, "x", u"{}", &response));
  EXPECT_EQ(R"({"ok":1})", response);
  EXPECT_EQ(1u, host_->Calls());
  EXPECT_EQ(u"a+b%2Fc", net.Token());
  EXPECT_TRUE(LogCapture::Has(log_->Info(), "(AT expired. try to get new AT!)"));
  std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(BaseNetInterface::Base64UrlEncode("8:Other:app::token"),
            requests[0].Header("Authorization"));
  EXPECT_EQ(BaseNetInterface::Base64UrlEncode("8:Other:app::a+b%2Fc"),
            requests[1].Header("Authorization"));
  EXPECT_EQ("{}", requests[1].body);

  // A second 402 is returned as it is: one refresh per request.
  server_.ClearRequests();
  server_.Enqueue(Reply(402, ""));
  server_.Enqueue(Reply(402, ""));
  EXPECT_EQ(402, Send(net, server_, "x"));
  EXPECT_EQ(2u, server_.RequestCount());
  EXPECT_EQ(2u, host_->Calls());

  // A body code of 402 on HTTP 200 is an expired token too.
  server_.ClearRequests();
  server_.Enqueue(Reply(200, R"({"result":{"code":402}})"));
  server_.Enqueue(Reply(200, ""));
  EXPECT_EQ(200, Send(net, server_, "x"));
  EXPECT_EQ(2u, server_.RequestCount());
  EXPECT_EQ(3u, host_->Calls());
}

TEST_F(BaseNetTest, CredentialCarriesTheEncodedTokenAndTheDeviceId) {
  NetConfig config = Config();
  config.AT = u"a b/c";
  {
    BaseNetInterface net(config);
    EXPECT_EQ(u"8:Other:app::a+b%2Fc", net.CredentialString());
  }
  SetSerialReaderForTesting([](char16_t* buffer) {
    platform::CopySerial(u"ABC 123 ", buffer);
    return platform::kSerialOk;
  });
  {
    BaseNetInterface net(config);
    EXPECT_EQ(u"ABC123", net.DeviceId());
    Send(net, server_, "x");
    EXPECT_EQ(BaseNetInterface::Base64UrlEncode("8:ABC123:app::a+b%2Fc"),
              server_.Requests().back().Header("Authorization"));
  }
  // Later failures fall back to the last id read; an empty serial is used but not cached.
  SetSerialReaderForTesting([](char16_t* buffer) {
    buffer[0] = 0;
    return platform::kSerialNotFound;
  });
  EXPECT_EQ(u"ABC123", BaseNetInterface(config).DeviceId());
  SetSerialReaderForTesting([](char16_t* buffer) {
    buffer[0] = 0;
    return platform::kSerialOk;
  });
  EXPECT_EQ(u"", BaseNetInterface(config).DeviceId());
  EXPECT_EQ(u"ABC123", DeviceIdCache());
}

TEST(BaseNetEncodingTest, Base64UrlKeepsFillAndUsesTheUrlAlphabet) {
  EXPECT_EQ("", BaseNetInterface::Base64UrlEncode(""));
  EXPECT_EQ("Zg==", BaseNetInterface::Base64UrlEncode("f"));
  EXPECT_EQ("Zm8=", BaseNetInterface::Base64UrlEncode("fo"));
  EXPECT_EQ("Zm9v", BaseNetInterface::Base64UrlEncode("foo"));
  EXPECT_EQ("Zm9vYg==", BaseNetInterface::Base64UrlEncode("foob"));
  EXPECT_EQ("-_8=", BaseNetInterface::Base64UrlEncode("\xfb\xff"));
  EXPECT_EQ("AAD-", BaseNetInterface::Base64UrlEncode(std::string("\x00\x00\xfe", 3)));
}

TEST(BaseNetEncodingTest, UrlEncodeKeepsUnreservedAndEscapesEveryOtherByte) {
  EXPECT_EQ(u"a+b%2Fc", BaseNetInterface::UrlEncode(u"a b/c"));
  EXPECT_EQ(u"Az09-_.~", BaseNetInterface::UrlEncode(u"Az09-_.~"));
  EXPECT_EQ(WString(u"%3D%26%25%2B") + kUrlEncodedEAcute,
            BaseNetInterface::UrlEncode(u"=&%+\u00e9"));
  EXPECT_EQ(u"", BaseNetInterface::UrlEncode(u""));
}

TEST(BaseNetEncodingTest, ModuleDirectoryIsTheFolderOfTheTestExecutable) {
  EXPECT_EQ(Utf8ToWide(ExecutableDirectory()), BaseNetInterface::GetModuleDirectory());
}

TEST_F(BaseNetTest, LargeBodiesAndHostTextsArriveIntact) {
  NetConfig config = Config();
  config.UserID = u"u1\r\nX-Injected: 1";
  BaseNetInterface net(config);
  WString body = u"{\"data\":\"";
  body += WString(5000, u'x') + u"\u00e9\"}";
  ASSERT_EQ(200, Send(net, server_, "x", body));
  const RecordedRequest request = server_.Requests().back();
  EXPECT_EQ(WideToUtf8(body), request.body);
  // A line break from the host cannot start a header line of its own.
  EXPECT_FALSE(request.HasHeader("X-Injected"));
  EXPECT_EQ("u1X-Injected: 1", request.Header("userId"));
}

TEST(BaseNetTlsTest, UntrustedCertificateFailsClosed) {
  ScopedEnv noProxy("https_proxy", std::nullopt);
  ScopedEnv noProxyUpper("HTTPS_PROXY", std::nullopt);
  TempDir logs;
  ASSERT_TRUE(InitLogger(Utf8ToWide(logs.path())));
  LogCapture log(logs.path());
  HttpsTestServer server(HttpsTestServer::Certificate::kUntrusted);
  ASSERT_TRUE(server.Start()) << server.error();
  NetConfig config;
  config.SyncType = u"browser";
  config.SyncServerUrl = Utf8ToWide(server.BaseUrl());
  BaseNetInterface net(config);
  std::string response;
  EXPECT_EQ(0, net.SendRequest(Utf8ToWide(server.BaseUrl() + "x"), u"{}", response));
  EXPECT_EQ(0u, server.RequestCount());
  EXPECT_TRUE(LogCapture::Has(log.Error(), "BaseNetInterface HttpRequest Failed , CurlCode :(60)" +
                                               std::string("SSL peer certificate or SSH remote "
                                                           "key was not OK")));
}

TEST_F(BaseNetTest, TransportFailuresGiveStatusZeroAndALogLine) {
  ScriptedResponse drop;
  drop.closeWithoutAnswer = true;
  server_.Enqueue(drop);
  BaseNetInterface net(Config());
  EXPECT_EQ(0, Send(net, server_, "x"));
  EXPECT_TRUE(LogCapture::Has(log_->Error(),
                              "BaseNetInterface HttpRequest Failed , CurlCode :(52)"
                              "Server returned nothing (no headers, no data)"));

  // A port where nobody listens, reached through the user's proxy setting.
  int deadPort = 0;
  const sockets::Socket bound = sockets::BindLoopback(&deadPort, /*listening=*/false);
  ASSERT_TRUE(sockets::Valid(bound));
  sockets::Close(bound);
  ScopedProxy proxy("127.0.0.1:" + std::to_string(deadPort));
  log_->Reset();
  EXPECT_EQ(0, Send(net, server_, "x"));
  EXPECT_TRUE(LogCapture::Has(log_->Info(), "BaseNetInterface: used proxy."));
  EXPECT_EQ(1u, server_.RequestCount());
}

// The token rides in "Authorization": a URL that is not https sends nothing at all, not
// even through a proxy the environment names for plain http.
TEST_F(BaseNetTest, OnlyHttpsUrlsSendAnything) {
  const std::string port = std::to_string(server_.port());
  ScopedEnv httpProxy("http_proxy", "http://127.0.0.1:" + port);
  BaseNetInterface net(Config());
  for (const std::string& url : {"http://127.0.0.1:" + port + "/x", "127.0.0.1:" + port + "/x",
                                 "ftp://127.0.0.1:" + port + "/x", "httpsx://127.0.0.1:" + port}) {
    std::string stale = "stale";
    EXPECT_EQ(0, net.SendRequest(Utf8ToWide(url), u"{}", stale)) << url;
    EXPECT_EQ("", stale);
  }
  EXPECT_EQ(0u, server_.ConnectionCount());
  EXPECT_EQ(4u, LogCapture::Count(log_->Error(),
                                  "BaseNetInterface HttpRequest refused: the "
                                  "service URL is not https, nothing sent"));
  // The scheme's case does not matter.
  std::string response;
  EXPECT_EQ(200, net.SendRequest(Utf8ToWide("HTTPS://127.0.0.1:" + port + "/x"), u"{}", response));
}

// A server may send without end; the client keeps a bounded answer and counts a larger one
// as none, whether its length was announced or not.
TEST_F(BaseNetTest, AnAnswerLargerThanTheBoundIsNoAnswer) {
  BaseNetInterface::SetMaxBodyBytesForTesting(4096);
  BaseNetInterface net(Config());
  const std::string fits = "{\"pad\":\"" + std::string(4096 - 10, 'x') + "\"}";
  ASSERT_EQ(fits.size(), 4096u);
  server_.Enqueue(Reply(200, fits));
  std::string response;
  EXPECT_EQ(200, Send(net, server_, "x", WString(), &response));
  EXPECT_EQ(fits, response);

  server_.Enqueue(Reply(200, fits + " "));
  ScriptedResponse unannounced = Reply(200, std::string(64 * 1024, ' ') + "{}");
  unannounced.untilClose = true;
  server_.Enqueue(unannounced);
  EXPECT_EQ(0, Send(net, server_, "x", WString(), &response));
  EXPECT_EQ("", response);
  EXPECT_EQ(0, Send(net, server_, "x", WString(), &response));
  EXPECT_EQ("", response);
  BaseNetInterface::SetMaxBodyBytesForTesting(0);
  EXPECT_TRUE(LogCapture::Has(log_->Error(),
                              "BaseNetInterface HttpRequest answer larger than "
                              "4096 bytes, taken as no response"));
}

TEST_F(BaseNetTest, AnAnswerCutOffAfterItsStatusLineIsNoAnswer) {
  // The status line and a result code arrive, then the connection drops mid-body.
  ScriptedResponse cut = Reply(200, R"({"result":{"code":201},"multistatus":[{"guid":"a"}]})");
  cut.cutBody = true;
  server_.Enqueue(cut);
  BaseNetInterface net(Config());
  std::string response = "stale";
  EXPECT_EQ(0, Send(net, server_, "x", WString(), &response));
  EXPECT_EQ("", response);
  EXPECT_TRUE(LogCapture::HasPrefix(log_->Error(), "BaseNetInterface HttpRequest Failed , CurlCode :(18)"));

  // The same client goes on normally afterwards.
  server_.Enqueue(Reply(200, R"({"result":{"code":201}})"));
  EXPECT_EQ(201, Send(net, server_, "x", WString(), &response));
}

TEST_F(BaseNetTest, AServerThatStaysSilentEndsAsNoAnswerWithinTheStallLimit) {
  BaseNetInterface::SetTransferLimitsForTesting(2000, 1);
  ScriptedResponse silent = Reply(200, "{}");
  silent.delayMs = 15000;
  server_.Enqueue(silent);
  BaseNetInterface net(Config());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Send(net, server_, "x"));
  const auto waited = std::chrono::steady_clock::now() - start;
  BaseNetInterface::SetTransferLimitsForTesting(BaseNetInterface::kConnectTimeoutMs,
                                                BaseNetInterface::kStallSeconds);
  EXPECT_LT(waited, std::chrono::seconds(8));
  EXPECT_TRUE(LogCapture::HasPrefix(log_->Error(), "BaseNetInterface HttpRequest Failed , CurlCode :(28)"));
}

TEST_F(BaseNetTest, RequestsOfOneClientShareConnections) {
  BaseNetInterface net(Config());
  for (int i = 0; i < 20; ++i) EXPECT_EQ(200, Send(net, server_, "x"));
  EXPECT_EQ(20u, server_.RequestCount());
  EXPECT_EQ(1u, server_.ConnectionCount());
  // Another client has its own share handle and connections.
  BaseNetInterface other(Config());
  EXPECT_EQ(200, Send(other, server_, "x"));
  EXPECT_EQ(2u, server_.ConnectionCount());
}

TEST_F(BaseNetTest, AServerThatClosesIdleConnectionsAnswersEveryRequestOnce) {
  server_.CloseIdleAfter(30);
  BaseNetInterface net(Config());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(200, Send(net, server_, "x?n=" + std::to_string(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 2 ? 60 : 1));
  }
  const std::vector<RecordedRequest> requests = server_.Requests();
  ASSERT_EQ(6u, requests.size());
  for (int i = 0; i < 6; ++i) EXPECT_EQ("/x?n=" + std::to_string(i), requests[i].Target());
  EXPECT_GE(server_.ConnectionCount(), 3u);
  EXPECT_LT(server_.ConnectionCount(), 6u);
}

TEST_F(BaseNetTest, RequestsStayOnHttp11WhenTheServerOffersHttp2) {
  HttpsTestServer server;
  server.OfferHttp2();
  ASSERT_TRUE(server.Start()) << server.error();
  server.Enqueue(Reply(200, "{}", {"Lock-Token: L-7"}));
  BaseNetInterface net(Config());
  EXPECT_EQ(200, Send(net, server, "x"));
  ASSERT_EQ(1u, server.RequestCount());
  EXPECT_EQ("http/1.1", server.Requests()[0].alpn);
  EXPECT_EQ("Lock-Token: L-7", net.LockTokenLine());
}

// Puts a certificate into the system's CA directory for the life of the object: libcurl's
// compiled-in one on Debian; OpenSSL's default one on Windows (created when missing).
class SystemCa {
 public:
  explicit SystemCa(const std::string& pemFile) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(fopen(pemFile.c_str(), "r"), fclose);
    X509* certificate = in ? PEM_read_X509(in.get(), nullptr, nullptr, nullptr) : nullptr;
    if (certificate == nullptr) return;
    char name[32];
    std::snprintf(name, sizeof name, "%08lx", X509_subject_name_hash(certificate));
    X509_free(certificate);
#if defined(_WIN32)
    const std::filesystem::path dir = std::filesystem::absolute(X509_get_default_cert_dir());
    std::error_code error;
    // The outermost folder made here goes again at the end.
    for (std::filesystem::path up = dir; !up.empty() && !std::filesystem::exists(up, error);
         up = up.parent_path()) {
      madeDir_ = up;
      if (up == up.parent_path()) break;
    }
    if (!madeDir_.empty() && !std::filesystem::create_directories(dir, error)) return;
#else
    const std::filesystem::path dir = "/etc/ssl/certs";
#endif
    for (int i = 0; i < 10 && path_.empty(); ++i) {
      const std::filesystem::path candidate = dir / (std::string(name) + "." + std::to_string(i));
      std::error_code error;
      if (std::filesystem::exists(candidate, error)) continue;
      std::ifstream source(pemFile, std::ios::binary);
      std::ofstream target(candidate, std::ios::binary);
      if (target << source.rdbuf()) path_ = candidate;
    }
  }
  ~SystemCa() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove(path_, ignored);
    if (!madeDir_.empty()) std::filesystem::remove_all(madeDir_, ignored);
  }
  bool installed() const { return !path_.empty(); }

 private:
  std::filesystem::path path_;
  std::filesystem::path madeDir_;
};

TEST_F(BaseNetTest, OnlyTheBundleBesideTheExecutableIsTrusted) {
  SystemCa systemCa(ExecutableDirectory() + "/test_certs/untrusted.pem");
  if (!systemCa.installed()) GTEST_SKIP() << "needs write access to the system's CA directory";
  HttpsTestServer server(HttpsTestServer::Certificate::kUntrusted);
  ASSERT_TRUE(server.Start()) << server.error();
  BaseNetInterface net(Config());
  EXPECT_EQ(0, Send(net, server, "x"));
  EXPECT_EQ(0u, server.RequestCount());
  EXPECT_TRUE(LogCapture::HasPrefix(log_->Error(), "BaseNetInterface HttpRequest Failed , CurlCode :(60)"));
}

TEST_F(BaseNetTest, AMissingOrEmptyBundleSendsNothing) {
  TempDir empty;
  BaseNetInterface net(Config());
  BaseNetInterface::SetCaDirectoryForTesting(Utf8ToWide(empty.path()));
  EXPECT_EQ(0, Send(net, server_, "x"));
  std::ofstream(empty / "Cacert.pem").flush();  // an empty file
  EXPECT_EQ(0, Send(net, server_, "x"));
  BaseNetInterface::SetCaDirectoryForTesting(WString());
  EXPECT_EQ(0u, server_.RequestCount());
  EXPECT_TRUE(LogCapture::HasPrefix(log_->Error(),
                                    "BaseNetInterface: CA bundle missing or unreadable: " + empty.path()));
  EXPECT_EQ(200, Send(net, server_, "x"));  // the bundle beside the executable again
}

}  // namespace
}  // namespace testing
}  // namespace quillet
