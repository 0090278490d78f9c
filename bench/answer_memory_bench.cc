// Peak memory of decoding one large etag-list answer, served gzip-encoded by the in-process
// HTTPS test server to the protocol client (real TLS, real libcurl, real decoder).
//
//   answer_memory_bench empty-lists <MiB> [content|transfer]
//       {"multistatus":[[],[],...]} of that many MiB once inflated
//   answer_memory_bench etag-list <records> [content|transfer]
//       a real etag list: 32-digit guids, etags of a revision
//
// The body is deflated piece by piece, so the process holds only the compressed answer
// before the request. Prints the answer's sizes, the status and records decoded, and the
// peak resident size before and after the request (getrusage). One answer per process:
// the peak is a high-water mark.
#include <sys/resource.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sync/net/app_net_interface.h"
#include "sync/testing/https_test_server.h"

namespace {

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class Gzip {
 public:
  Gzip() { deflateInit2(&stream_, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY); }
  ~Gzip() { deflateEnd(&stream_); }
  void Add(const std::string& text) { Run(text, Z_NO_FLUSH); plain_ += text.size(); }
  std::string Finish() {
    Run(std::string(), Z_FINISH);
    return std::move(out_);
  }
  size_t plain() const { return plain_; }

 private:
  void Run(const std::string& text, int flush) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream_.avail_in = static_cast<uInt>(text.size());
    unsigned char buffer[1 << 16];
    do {
      stream_.next_out = buffer;
      stream_.avail_out = sizeof buffer;
      deflate(&stream_, flush);
      out_.append(reinterpret_cast<char*>(buffer), sizeof buffer - stream_.avail_out);
    } while (stream_.avail_out == 0 || (flush == Z_FINISH && stream_.avail_in != 0));
  }
  z_stream stream_{};
  std::string out_;
  size_t plain_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s empty-lists <MiB> | etag-list <records> [content|transfer]\n",
                 argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  const long long amount = std::atoll(argv[2]);
  const bool transfer = argc > 3 && std::strcmp(argv[3], "transfer") == 0;

  Gzip gzip;
  gzip.Add(R"({"multistatus":[)");
  std::string piece;
  if (kind == "empty-lists") {
    const size_t target = static_cast<size_t>(amount) << 20;
    for (int i = 0; i < 4096; ++i) piece += "[],";
    while (gzip.plain() + piece.size() < target) gzip.Add(piece);
    gzip.Add("[]");
  } else {
    for (long long i = 0; i < amount; ++i) {
      char element[128];
      std::snprintf(element, sizeof element,
                    R"(%s{"guid":"%016llx%016llx","props":{"etag":"6f1c2ab9-%lld"}})",
                    i == 0 ? "" : ",", i * 2654435761ull, i ^ 0x5bd1e995ull, i);
      piece += element;
      if (piece.size() > (1u << 16)) {
        gzip.Add(piece);
        piece.clear();
      }
    }
    gzip.Add(piece);
  }
  gzip.Add("]}");
  const size_t plain = gzip.plain();
  quillet::testing::ScriptedResponse answer;
  answer.body = gzip.Finish();
  if (transfer) {
    answer.headers = {"Transfer-Encoding: gzip"};
    answer.untilClose = true;
  } else {
    answer.headers = {"Content-Encoding: gzip"};
  }
  const size_t wire = answer.body.size();

  quillet::testing::HttpsTestServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "server: %s\n", server.error().c_str());
    return 1;
  }
  server.SetDefault(answer);
  answer.body.clear();
  answer.body.shrink_to_fit();

  quillet::NetConfig config;
  config.SyncType = u"browser";
  config.AT = u"token";
  config.UserID = u"u1";
  config.AppID = u"app";
  config.DbPath = u"/tmp";
  config.LogPath = u"/tmp";
  config.SyncServerUrl = quillet::Utf8ToWide(server.BaseUrl());
  const long before = PeakKiB();
  long after = 0;
  int status = 0;
  size_t records = 0;
  {
    quillet::AppNetInterface client(config);
    std::vector<quillet::EtagItem> etags;
    status = client.GetEtagList(u"bookmark", etags);
    records = etags.size();
    after = PeakKiB();
  }
  server.Stop();
  std::printf(
      "%s %lld (%s-encoding): %.1f MiB inflated, %.1f KiB on the wire; status %d, %zu records; "
      "peak RSS %.1f MiB before the request, %.1f MiB after (%.1fx the inflated body)\n",
      kind.c_str(), amount, transfer ? "transfer" : "content", plain / 1048576.0, wire / 1024.0,
      status, records, before / 1024.0, after / 1024.0,
      static_cast<double>(after) * 1024 / static_cast<double>(plain));
  return 0;
}
