// Shared pieces of the protocol client tests: a host that hands out tokens, a fixture with
// a running HTTPS test server, fresh logs and a fixed device identity. Tests only.
#ifndef QUILLET_SYNC_NET_NET_TEST_SUPPORT_H_
#define QUILLET_SYNC_NET_NET_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sync/common/active_adapter.h"
#include "sync/log/logger.h"
#include "sync/net/device_id.h"
#include "sync/platform/system_info.h"
#include "sync/testing/https_test_server.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/scoped_proxy.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace testing {

// U+00E9 in the system ANSI code page, the form URL-encoding and MD5 inputs take: UTF-8 on
// POSIX; on Windows the Western code page (1252) of an en-US system, as under Wine here.
#if defined(_WIN32)
inline constexpr char kAnsiEAcute[] = "\xe9";
inline constexpr char16_t kUrlEncodedEAcute[] = u"%E9";
#else
inline constexpr char kAnsiEAcute[] = "\xc3\xa9";
inline constexpr char16_t kUrlEncodedEAcute[] = u"%C3%A9";
#endif

// Answers GetNewAT with the scripted tokens in turn (the last one repeats); every other
// callback does nothing. Thread-safe: the keep-alive thread may refresh too.
class TokenHost : public SyncProcessAdapter {
 public:
  explicit TokenHost(std::vector<WString> tokens = {u"fresh"}) : tokens_(std::move(tokens)) {}

  WString GetNewAT() override {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t at = calls_++;
    if (tokens_.empty()) return WString();
    return tokens_[at < tokens_.size() ? at : tokens_.size() - 1];
  }
  size_t Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  void OnDownloadSyncStart(WString, std::map<WString, int>) override {}
  void OnUploadSyncStart(WString) override {}
  std::vector<UpdateResultRecord> UpdateStructData(WString, StructList, StructList) override {
    return {};
  }
  TextList DeleteData(WString, TextList) override { return {}; }
  std::vector<LocalIdRecord> QueryLocalIds(WString, int) override { return {}; }
  std::vector<QueryResultRecord> DataQueryByID(WString, TextList) override { return {}; }
  void UpdateSyncResult(WString, StructList, StructList, TextList, KeyedTextMap) override {}
  void OnDataSyncEnd(WString, int) override {}
  void OnSyncEnd() override {}
  void ReportEvent(int, WString, TextMap) override {}

 private:
  mutable std::mutex mutex_;
  std::vector<WString> tokens_;
  size_t calls_ = 0;
};

// Sets an environment variable (or removes it for nullopt) and puts it back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = std::string(old);
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A started trusted server, logs in a fresh directory, a host for token refreshes, no
// proxy, a machine without a serial and a device id cache back at "Other".
class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitLogger(Utf8ToWide(logs_.path())));
    log_ = std::make_unique<LogCapture>(logs_.path());
    host_ = std::make_shared<TokenHost>();
    SetActiveAdapter(host_);
    SetSerialReaderForTesting([](char16_t* buffer) {
      buffer[0] = 0;
      return platform::kSerialNoSource;
    });
    ResetDeviceIdCacheForTesting();
    ASSERT_TRUE(server_.Start()) << server_.error();
  }
  void TearDown() override {
    server_.Stop();
    SetActiveAdapter(nullptr);
    SetSerialReaderForTesting(nullptr);
    ResetDeviceIdCacheForTesting();
  }

  NetConfig Config(const WString& syncType = u"browser") const {
    NetConfig config;
    config.SyncType = syncType;
    config.AT = u"token";
    config.UserID = u"u1";
    config.AppID = u"app";
    config.DbPath = u"/tmp";
    config.LogPath = Utf8ToWide(logs_.path());
    config.SyncServerUrl = Utf8ToWide(server_.BaseUrl());
    return config;
  }

  static ScriptedResponse Reply(int status, std::string body,
                                std::vector<std::string> headers = {}) {
    ScriptedResponse response;
    response.status = status;
    response.body = std::move(body);
    response.headers = std::move(headers);
    return response;
  }

  ScopedEnv noProxy_{"https_proxy", std::nullopt};
  ScopedEnv noProxyUpper_{"HTTPS_PROXY", std::nullopt};
  TempDir logs_;
  std::unique_ptr<LogCapture> log_;
  std::shared_ptr<TokenHost> host_;
  HttpsTestServer server_;
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_NET_NET_TEST_SUPPORT_H_
