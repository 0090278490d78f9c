// Writes the seed answers of the protocol fuzz targets: real answers of the reference sync
// server (in-process, in memory) to the requests the client makes, in the fuzzers' input
// format, one folder per target:
//
//   quillet_fuzz_seeds OUT_DIR      ->  OUT_DIR/<target>_fuzzer/<name>
//
// Beside each target's own answers: the token-expired answer followed by the good one (the
// client's refresh and retry), the refusals the server gives, and the good answer cut off
// by a transfer error.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fuzz/answer_script.h"
#include "tools/sync_server/sync_service.h"

using quillet::fuzz::FakeAnswer;
using quillet::fuzz::FormatAnswer;
using quillet::fuzz::kAnswerSeparator;
namespace server = quillet::syncserver;

namespace {

const char kUser[] = "u1";
const char kType[] = "browser";
const char kToken[] = "seedtoken";

std::string Base64Url(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned v = 0;
    for (size_t k = 0; k < 3; ++k) {
      v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return out;
}

class Seeds {
 public:
  Seeds(const std::string& outDir, server::SyncService& service)
      : outDir_(outDir), service_(service) {}

  // One answer of the server to an operation, as the fake libcurl delivers it.
  FakeAnswer Ask(const std::string& method, const std::string& collection = "",
                 const std::string& body = "") {
    server::ServiceRequest request;
    request.path = std::string("/vastre/") + kUser + "/" + kType;
    if (!collection.empty()) request.path += "/" + collection;
    request.method = method;
    request.body = body;
    request.authorization = Base64Url(std::string("8:FUZZ-SERIAL:app::") + kToken);
    request.lock_token = lockToken_;
    const server::ServiceResponse response = service_.Handle(request);
    FakeAnswer answer;
    answer.status = response.http_status;
    answer.body = response.body;
    if (!response.lock_token.empty()) {
      answer.headerLines.push_back("Lock-Token: " + response.lock_token + "\r\n");
      if (method == "LOCK") lockToken_ = response.lock_token;
    }
    return answer;
  }

  // The server's answer while the token is expired.
  FakeAnswer Expired(const std::string& method, const std::string& collection = "") {
    service_.ExpireToken(kToken);
    FakeAnswer answer = Ask(method, collection);
    service_.RenewToken(kToken);
    return answer;
  }

  void ForgetLock() { lockToken_.clear(); }

  void Write(const std::string& target, const std::string& name,
             const std::vector<FakeAnswer>& answers) {
    const std::string dir = outDir_ + "/" + target + "_fuzzer";
    std::filesystem::create_directories(dir);
    std::string text;
    for (size_t i = 0; i < answers.size(); ++i) {
      if (i != 0) text += kAnswerSeparator;
      text += FormatAnswer(answers[i]);
    }
    std::ofstream out(dir + "/" + name, std::ios::binary);
    if (!(out << text).flush()) {
      std::cerr << "cannot write " << dir << "/" << name << "\n";
      std::exit(1);
    }
    ++written_;
  }

  // The usual companions of a target's good answer.
  void WriteVariants(const std::string& target, const FakeAnswer& good, const FakeAnswer& expired) {
    Write(target, "retry-after-402", {expired, good});
    FakeAnswer cut = good;
    cut.body.resize(cut.body.size() / 2);
    cut.code = CURLE_PARTIAL_FILE;
    Write(target, "cut-transfer", {cut});
    FakeAnswer cutButOk = good;
    cutButOk.body.resize(cutButOk.body.size() * 2 / 3);
    Write(target, "cut-body", {cutButOk});
    FakeAnswer timeout;
    timeout.code = CURLE_OPERATION_TIMEDOUT;
    Write(target, "timeout", {timeout});
  }

  int Written() const { return written_; }

 private:
  const std::string outDir_;
  server::SyncService& service_;
  std::string lockToken_;
  int written_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: quillet_fuzz_seeds OUT_DIR\n";
    return 2;
  }
  const std::string outDir = argv[1];
  std::string error;
  std::unique_ptr<server::SyncState> state = server::SyncState::Open("", &error);
  if (!state) {
    std::cerr << "sync state: " << error << "\n";
    return 1;
  }
  server::SyncService service(std::move(state), server::ServiceOptions());
  const server::SpaceKey space{kUser, kType};
  const std::string g1 = service.PutRecord(
      space, "bookmark", "g1",
      "{\"title\":\"Caf\xC3\xA9 \xE2\x98\x95\",\"url\":\"https://cafe.example/\"}");
  service.PutRecord(space, "bookmark", "g2", "tea \"time\"\n\\", "{\"status\":2,\"hash\":\"9f\"}");
  service.PutRecord(space, "calendar", "c1", "BEGIN:VEVENT\r\nEND:VEVENT");
  if (g1.empty()) {
    std::cerr << "cannot store the seed records\n";
    return 1;
  }

  Seeds seeds(outDir, service);
  const FakeAnswer lock = seeds.Ask("LOCK");
  const FakeAnswer keepLock = seeds.Ask("KEEPLOCK");
  service.SetInterval(7);
  const FakeAnswer keepLockRetimed = seeds.Ask("KEEPLOCK");
  service.SetInterval(60);
  const FakeAnswer queryCtag = seeds.Ask("PROPFIND", "", "{\"propname\":[\"ctag\"]}");
  const FakeAnswer etags = seeds.Ask("PROPFIND", "bookmark", "{\"propname\":[\"etag\"]}");
  const FakeAnswer noEtags = seeds.Ask("PROPFIND", "photo", "{\"propname\":[\"etag\"]}");
  const FakeAnswer download =
      seeds.Ask("REPORT", "bookmark", "{ \"guids\":[\"g1\",\"g2\",\"gone\"],\"propname\" : [] }");
  const FakeAnswer add =
      seeds.Ask("POST", "bookmark",
                "{\"add\":[{\"luid\":\"L1\",\"data\":\"{}\"},{\"luid\":\"L2\",\"data\":\"x\"}]}");
  const FakeAnswer update = seeds.Ask(
      "POST", "bookmark",
      "{\"update\":[{\"guid\":\"g1\",\"data\":\"y\"},{\"guid\":\"gone\",\"data\":\"z\"}]}");
  const FakeAnswer remove = seeds.Ask("POST", "bookmark", "{\"remove\":[\"g2\",\"gone\"]}");
  service.SetCollectionLimit("bookmark", 1);
  const FakeAnswer full =
      seeds.Ask("POST", "bookmark", "{\"add\":[{\"luid\":\"L3\",\"data\":\"w\"}]}");
  const FakeAnswer badRequest = seeds.Ask("POST", "bookmark", "{\"add\":{}}");
  const FakeAnswer unlock = seeds.Ask("UNLOCK");
  // Another client's requests while a lock is held, and a keep-alive without a live lock.
  seeds.ForgetLock();
  const FakeAnswer keepLockLost = seeds.Ask("KEEPLOCK");
  seeds.Ask("LOCK");  // another device takes the lock
  seeds.ForgetLock();
  const FakeAnswer locked = seeds.Ask("LOCK");
  const FakeAnswer lockedUnlock = seeds.Ask("UNLOCK");
  const FakeAnswer lockedPost = seeds.Ask("POST", "bookmark", "{\"remove\":[\"g1\"]}");

  seeds.Write("lock", "granted", {lock});
  seeds.Write("lock", "granted-then-unlocked", {lock, unlock});
  seeds.Write("lock", "locked-by-other", {locked});
  seeds.WriteVariants("lock", lock, seeds.Expired("LOCK"));
  seeds.Write("keep_lock", "kept", {keepLock});
  seeds.Write("keep_lock", "retimed", {keepLockRetimed});
  seeds.Write("keep_lock", "lost", {keepLockLost});
  seeds.WriteVariants("keep_lock", keepLock, seeds.Expired("KEEPLOCK"));
  seeds.Write("unlock", "unlocked", {unlock});
  seeds.Write("unlock", "locked-by-other", {lockedUnlock});
  seeds.WriteVariants("unlock", unlock, seeds.Expired("UNLOCK"));
  seeds.Write("query_ctag", "ctags", {queryCtag});
  seeds.WriteVariants("query_ctag", queryCtag, seeds.Expired("PROPFIND"));
  seeds.Write("etag_list", "etags", {etags});
  seeds.Write("etag_list", "no-collection", {noEtags});
  seeds.WriteVariants("etag_list", etags, seeds.Expired("PROPFIND", "bookmark"));
  seeds.Write("download", "records", {download});
  seeds.WriteVariants("download", download, seeds.Expired("REPORT", "bookmark"));
  seeds.Write("add", "added", {add});
  seeds.Write("add", "collection-full", {full});
  seeds.Write("add", "bad-request", {badRequest});
  seeds.WriteVariants("add", add, seeds.Expired("POST", "bookmark"));
  seeds.Write("update", "updated", {update});
  seeds.Write("update", "locked-by-other", {lockedPost});
  seeds.WriteVariants("update", update, seeds.Expired("POST", "bookmark"));
  seeds.Write("remove", "removed", {remove});
  seeds.Write("remove", "locked-by-other", {lockedPost});
  seeds.WriteVariants("remove", remove, seeds.Expired("POST", "bookmark"));
  std::cout << "wrote " << seeds.Written() << " seed answers into " << outDir << "\n";
  return 0;
}
