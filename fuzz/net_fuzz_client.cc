#include "fuzz/net_fuzz_client.h"

#include <stdlib.h>

#include <cstdio>
#include <string>

#include "fuzz/fuzz_logging.h"
#include "sync/net/base_net_interface.h"
#include "sync/net/device_id.h"
#include "sync/platform/system_info.h"

namespace quillet {
namespace fuzz {

void InitNetFuzzing() {
  InitFuzzLogging();
  // The transport sends nothing without a CA bundle; the fake libcurl never reads it, so
  // any non-empty file will do.
  static char caDir[] = "/tmp/quillet-fuzz-ca.XXXXXX";
  if (mkdtemp(caDir) != nullptr) {
    if (FILE* file = std::fopen((std::string(caDir) + "/Cacert.pem").c_str(), "w")) {
      std::fputs("fuzzing: not read\n", file);
      std::fclose(file);
    }
    BaseNetInterface::SetCaDirectoryForTesting(Utf8ToWide(caDir));
  }
  SetSerialReaderForTesting([](char16_t* buffer) {
    platform::CopySerial(u"FUZZ-SERIAL", buffer);
    return platform::kSerialOk;
  });
}

NetConfig FuzzNetConfig() {
  NetConfig config;
  config.SyncType = u"browser";
  config.AT = u"at+/=token";
  config.UserID = u"u1";
  config.AppID = u"app";
  config.DbPath = u"/nonexistent/db";
  config.LogPath = u"/nonexistent/logs";
  config.SyncServerUrl = u"https://sync.invalid/";
  return config;
}

FakeAnswer GrantedLock() {
  FakeAnswer answer;
  answer.status = 200;
  answer.headerLines = {"Lock-Token: 6b0c5d0e\r\n"};
  answer.body = R"({"interval":60,"multistatus":[{"guid":"bookmark","props":{"ctag":"a1-3"}}],)"
                R"("result":{"code":200,"msg":"ok"}})";
  return answer;
}

bool IsSuccess(int status) { return status >= 200 && status <= 299; }

void NoteTransfer(Outcome* outcome) {
  const FakeCurlState state = FakeCurl();
  outcome->transferFailed = state.lastCode != CURLE_OK;
  outcome->lastAnswer = state.performs > 0 ? static_cast<size_t>(state.performs - 1) : 0;
}

void CheckOutcome(const Outcome& outcome) {
  if (outcome.transferFailed && outcome.status != 0) {
    FuzzFail("a failed transfer was reported with a status");
  }
  if (!IsSuccess(outcome.status) && !outcome.empty)
    FuzzFail("a failed operation handed on a result");
}

void FinishInput() {
  ClearFakeAnswers();
  const FakeCurlState state = FakeCurl();
  if (state.openEasy != 0) FuzzFail("an easy handle was not cleaned up");
  if (state.openShares != 0) FuzzFail("a share handle was not cleaned up");
  if (state.openListNodes != 0) FuzzFail("a header list was not freed");
}

bool SameCtags(const CtagMap& a, const CtagMap& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || i->second.ctag_name != j->second.ctag_name ||
        i->second.ctag_value != j->second.ctag_value) {
      return false;
    }
  }
  return true;
}

std::vector<std::vector<FakeAnswer>> CutAnswers(const std::vector<FakeAnswer>& answers,
                                                size_t index) {
  std::vector<std::vector<FakeAnswer>> cuts;
  if (index >= answers.size()) return cuts;
  const std::string& body = answers[index].body;
  const size_t end = body.find_last_not_of(" \t\r\n");
  for (const size_t length : {end == std::string::npos ? size_t{0} : end, body.size() / 2}) {
    if (length == 0 || length >= body.size()) continue;
    std::vector<FakeAnswer> cut = answers;
    cut[index].body.resize(length);
    cuts.push_back(std::move(cut));
  }
  return cuts;
}

}  // namespace fuzz
}  // namespace quillet
