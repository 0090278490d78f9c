#include "fuzz/net_fuzz_client.h"

#include "fuzz/answer_script.h"
#include "fuzz/fuzz_logging.h"
#include "sync/net/device_id.h"
#include "sync/platform/system_info.h"

namespace quillet {
namespace fuzz {

void InitNetFuzzing() {
  InitFuzzLogging();
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
  answer.body =
      R"({"interval":60,"multistatus":[{"guid":"bookmark","props":{"ctag":"a1-3"}}],)"
      R"("result":{"code":200,"msg":"ok"}})";
  return answer;
}

void LoadAnswers(const uint8_t* data, size_t size, std::vector<FakeAnswer> canned) {
  std::vector<FakeAnswer> answers = ParseAnswers(data, size);
  canned.insert(canned.end(), std::make_move_iterator(answers.begin()),
                std::make_move_iterator(answers.end()));
  SetFakeAnswers(std::move(canned));
}

bool IsSuccess(int status) { return status >= 200 && status <= 299; }

void CheckOutcome(int status, bool resultEmpty) {
  if (FakeCurl().lastCode != CURLE_OK && status != 0) {
    FuzzFail("a failed transfer was reported with a status");
  }
  if (!IsSuccess(status) && !resultEmpty) FuzzFail("a failed operation handed on a result");
}

void FinishInput() {
  ClearFakeAnswers();
  const FakeCurlState state = FakeCurl();
  if (state.openEasy != 0) FuzzFail("an easy handle was not cleaned up");
  if (state.openShares != 0) FuzzFail("a share handle was not cleaned up");
  if (state.openListNodes != 0) FuzzFail("a header list was not freed");
}

}  // namespace fuzz
}  // namespace quillet
