// The floor client measures the library's work only if it does the same work: the same
// requests (request line, header lines, body) in the same order, and the same etag store
// (file layout, rows). Both run the benchmark's three rounds against the reference service;
// what the service makes at random (guids, etag and ctag prefixes, lock tokens) and the
// trace id (time and random digits) are masked before comparing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "bench/floor_device.h"
#include "sync/e2e/model_host.h"
#include "sync/net/device_id.h"
#include "sync/platform/system_info.h"
#include "sync/platform/text.h"
#include "sync/testing/https_test_server.h"
#include "sync/testing/temp_dir.h"
#include "tools/sync_server/sync_server.h"
#include "tools/sync_server/sync_service.h"

namespace quillet {
namespace bench {
namespace {

using quillet::testing::HttpsTestServer;
using quillet::testing::RecordedRequest;
using quillet::testing::ScriptedResponse;
using quillet::testing::TempDir;

constexpr char kUser[] = "bench-user";
constexpr char kToken[] = "bench-token";
constexpr char kSyncType[] = "browser";
constexpr int kBatch = 100;
constexpr int kRecords = 250;  // two full batches and a part of one

// Quotes, a tab and a backslash: the escaping of both clients is compared too.
std::string Data(int n) {
  return "{\"title\":\"Bookmark " + std::to_string(n) + "\",\"note\":\"a\tb\\c\"}";
}

FloorIdentity Identity() {
  FloorIdentity identity;
  identity.syncType = kSyncType;
  identity.userId = kUser;
  identity.appId = "quillet-e2e";  // the model host's
  identity.accessToken = kToken;
  identity.deviceId = WideToUtf8(ReadDeviceId());
  identity.language = WideToUtf8(platform::PreferredUiLanguage());
  return identity;
}

std::string CaFile() { return quillet::testing::ExecutableDirectory() + "/Cacert.pem"; }

// The reference service behind a server that records every request as it arrived.
class RecordingCloud {
 public:
  RecordingCloud() {
    server_.SetHandler([this](const RecordedRequest& request) { return Answer(request); });
  }
  bool Start() { return server_.Start(); }
  std::string url() const { return server_.BaseUrl(); }

  // A new, empty service and request log.
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string error;
    service_ = std::make_unique<syncserver::SyncService>(syncserver::SyncState::Open("", &error),
                                                         syncserver::ServiceOptions());
    server_.ClearRequests();
  }
  std::vector<RecordedRequest> Requests() const { return server_.Requests(); }
  // What the service holds, in guid order.
  std::vector<syncserver::RecordView> Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return service_->Records({kUser, kSyncType}, "bookmark");
  }

 private:
  ScriptedResponse Answer(const RecordedRequest& request) {
    const std::string target = request.Target();
    const size_t query = target.find('?');
    const size_t method = target.find("method=");
    syncserver::ServiceRequest in;
    in.path = target.substr(0, query);
    in.method = method == std::string::npos ? std::string() : target.substr(method + 7);
    in.body = request.body;
    in.authorization = request.Header("Authorization");
    in.lock_token = request.Header("Lock-Token");
    std::lock_guard<std::mutex> lock(mutex_);
    const syncserver::ServiceResponse out = service_->Handle(in);
    ScriptedResponse response;
    response.status = out.http_status;
    response.body = out.body;
    if (!out.lock_token.empty()) response.headers.push_back("Lock-Token: " + out.lock_token);
    return response;
  }

  HttpsTestServer server_;
  mutable std::mutex mutex_;
  std::unique_ptr<syncserver::SyncService> service_;
};

// Names for what the service made at random, so that two runs compare. A guid (and its
// etag) is named by its place in the service's guid order (the order in which clients list
// and download), or by the record it holds (the order in which clients upload).
class Masks {
 public:
  enum class Naming { kByGuidOrder, kByRecord };

  Masks(const std::vector<syncserver::RecordView>& records, Naming naming) {
    static const std::regex kTitle("Bookmark ([0-9]+)");
    for (size_t i = 0; i < records.size(); ++i) {
      std::smatch title;
      std::string number = std::to_string(i);
      if (naming == Naming::kByRecord && std::regex_search(records[i].data, title, kTitle)) {
        number = title[1];
      }
      guids_[records[i].guid] = "G" + number;
      etags_[records[i].etag] = "E" + number;
    }
  }
  std::string Guids(const std::string& text) const {
    static const std::regex kGuid("[0-9a-f]{32}");
    std::string out;
    std::sregex_iterator it(text.begin(), text.end(), kGuid), end;
    size_t done = 0;
    for (; it != end; ++it) {
      const auto name = guids_.find(it->str());
      if (name == guids_.end()) continue;
      out.append(text, done, it->position() - done).append(name->second);
      done = it->position() + it->length();
    }
    return out.append(text, done, std::string::npos);
  }
  // An etag is its record's; a ctag keeps its revision, which must match.
  std::string Etag(const std::string& etag) const {
    const auto name = etags_.find(etag);
    return name == etags_.end() ? etag : name->second;
  }
  static std::string Ctag(const std::string& ctag) {
    return std::regex_replace(ctag, std::regex("^[0-9a-f]{8}-"), "T-");
  }
  static std::string HeaderLine(const std::string& line) {
    if (line.rfind("Lock-Token:", 0) == 0) return "Lock-Token: (token)";
    return std::regex_replace(line, std::regex("^(x-qz-trace-id:[a-z]+_11_)[0-9]+_[0-9]{8}$"),
                              "$1(time)_(random)");
  }

 private:
  std::map<std::string, std::string> guids_;
  std::map<std::string, std::string> etags_;
};

std::string RequestText(const RecordedRequest& request, const Masks& masks) {
  std::string text = request.requestLine + "\n";
  for (const std::string& line : request.headerLines) text += Masks::HeaderLine(line) + "\n";
  return text + "\n" + masks.Guids(request.body);
}

// The store as a text: layout, journal mode, every row (guids and tags masked).
std::string StoreText(const std::string& path, const Masks& masks) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open " + path;
  }
  std::string text;
  // Columns: -1 as it is, 0 a guid, 1 an etag, 2 a ctag.
  const auto dump = [&](const char* sql, const std::vector<int>& kinds) {
    text += std::string(sql) + "\n";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* raw = sqlite3_column_text(stmt, c);
        std::string value = raw ? reinterpret_cast<const char*>(raw) : "(null)";
        const int kind = c < static_cast<int>(kinds.size()) ? kinds[c] : -1;
        if (kind == 0) value = masks.Guids(value);
        if (kind == 1) value = masks.Etag(value);
        if (kind == 2) value = Masks::Ctag(value);
        text += value + "|";
      }
      text += "\n";
    }
    sqlite3_finalize(stmt);
  };
  dump("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name", {});
  dump("PRAGMA journal_mode", {});
  dump(
      "SELECT luid, type, etag, uuid, guid, hash, recycle_status, typeof(uuid), typeof(hash) "
      "FROM etag ORDER BY luid",
      {-1, -1, 1, -1, 0});
  dump("SELECT ctag_name, ctag_value, sync_token, typeof(sync_token) FROM ctag", {-1, 2});
  sqlite3_close(db);
  return text;
}

// The library keeps its store in a folder of its own under the device's.
std::string LibraryStore(const std::string& deviceDir) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(deviceDir)) {
    if (entry.path().filename() == "Quillet.dat") return entry.path().string();
  }
  return std::string();
}

struct Observed {
  std::vector<std::vector<std::string>> phases;  // requests of upload, download, no change
  std::string uploaderStore;
  std::string downloaderStore;
};

// Runs the three rounds; sync(device) runs one round of device 0 (uploader) or 1.
template <typename Sync, typename StorePath>
Observed Observe(RecordingCloud& cloud, Sync sync, StorePath storePath) {
  cloud.Reset();
  size_t seen = 0;
  std::vector<size_t> ends;
  for (int device : {0, 1, 1}) {
    EXPECT_TRUE(sync(device));
    ends.push_back(cloud.Requests().size());
  }
  const std::vector<syncserver::RecordView> records = cloud.Records();
  // Downloads follow the guid order, uploads the order of the records.
  const Masks byGuidOrder(records, Masks::Naming::kByGuidOrder);
  const Masks byRecord(records, Masks::Naming::kByRecord);
  const std::vector<RecordedRequest> requests = cloud.Requests();
  Observed observed;
  for (size_t end : ends) {
    std::vector<std::string> phase;
    for (; seen < end; ++seen) phase.push_back(RequestText(requests[seen], byGuidOrder));
    observed.phases.push_back(std::move(phase));
  }
  observed.uploaderStore = StoreText(storePath(0), byRecord);
  observed.downloaderStore = StoreText(storePath(1), byGuidOrder);
  return observed;
}

void ExpectSame(const Observed& library, const Observed& floor, const char* mode) {
  const char* names[] = {"upload", "download", "no-change round"};
  ASSERT_EQ(library.phases.size(), floor.phases.size());
  for (size_t p = 0; p < library.phases.size(); ++p) {
    ASSERT_EQ(library.phases[p].size(), floor.phases[p].size()) << mode << ", " << names[p];
    for (size_t i = 0; i < library.phases[p].size(); ++i) {
      EXPECT_EQ(library.phases[p][i], floor.phases[p][i])
          << mode << ", " << names[p] << ", request " << i + 1;
    }
  }
  EXPECT_EQ(library.uploaderStore, floor.uploaderStore) << mode;
  EXPECT_EQ(library.downloaderStore, floor.downloaderStore) << mode;
}

TEST(FloorClientTest, SendsTheLibrarysRequestsAndWritesTheSameStore) {
  RecordingCloud cloud;
  ASSERT_TRUE(cloud.Start());
  TempDir dir;

  const std::string libraryDir = dir / "library";
  e2e::ModelDevice up("uploader", libraryDir, cloud.url(), kUser, kToken);
  e2e::ModelDevice down("downloader", libraryDir, cloud.url(), kUser, kToken);
  for (int i = 0; i < kRecords; ++i) up.Add(Data(i));
  const Observed library = Observe(
      cloud, [&](int device) { return (device == 0 ? up : down).Sync(kBatch) == 0; },
      [&](int device) {
        return LibraryStore(libraryDir + (device == 0 ? "/uploader" : "/downloader"));
      });
  ASSERT_EQ(down.Records().size(), static_cast<size_t>(kRecords));

  // The rounds as the benchmark has them: lock, the batches, unlock.
  ASSERT_EQ(library.phases.size(), 3u);
  EXPECT_EQ(library.phases[0].size(), 5u);  // LOCK, 3 POST, UNLOCK
  EXPECT_EQ(library.phases[1].size(), 6u);  // LOCK, PROPFIND, 3 REPORT, UNLOCK
  EXPECT_EQ(library.phases[2].size(), 2u);  // LOCK, UNLOCK
  EXPECT_NE(library.phases[1][2].find("G0"), std::string::npos);  // guids were masked
  EXPECT_NE(library.downloaderStore.find("\n1|bookmark|E0||G0||0|"), std::string::npos);
  EXPECT_NE(library.uploaderStore.find("\n1|bookmark|E0||G0||0|"), std::string::npos);

  for (ConnectionMode mode : {ConnectionMode::kNew, ConnectionMode::kShared}) {
    const std::string floorDir = dir / ModeName(mode);
    std::filesystem::create_directories(floorDir);
    FloorDevice floorUp(mode, Identity(), cloud.url(), floorDir + "/up.dat", CaFile());
    FloorDevice floorDown(mode, Identity(), cloud.url(), floorDir + "/down.dat", CaFile());
    for (int i = 0; i < kRecords; ++i) floorUp.Add(Data(i));
    std::string error;
    const Observed floor = Observe(
        cloud,
        [&](int device) {
          const bool ok = (device == 0 ? floorUp : floorDown).Sync(kBatch, &error);
          EXPECT_TRUE(ok) << error;
          return ok;
        },
        [&](int device) { return floorDir + (device == 0 ? "/up.dat" : "/down.dat"); });
    EXPECT_EQ(floorDown.records().size(), static_cast<size_t>(kRecords));
    ExpectSame(library, floor, ModeName(mode));
  }
}

// Each mode opens the connections it is named for; the shared one resumes its TLS session
// on every connection after the first (the server closes a connection after 5 requests).
TEST(FloorClientTest, SharedModeReusesConnectionsAndResumesTlsSessions) {
  for (ConnectionMode mode : {ConnectionMode::kNew, ConnectionMode::kShared}) {
    syncserver::SyncServerOptions options;
    options.cert_file = quillet::testing::ExecutableDirectory() + "/test_certs/server.pem";
    options.key_file = quillet::testing::ExecutableDirectory() + "/test_certs/server.key";
    syncserver::SyncServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    TempDir dir;
    FloorDevice device(mode, Identity(), server.url(), dir / "store.dat", CaFile());
    for (int i = 0; i < 1000; ++i) device.Add(Data(i));
    ASSERT_TRUE(device.Sync(kBatch, &error)) << error;

    long requests = 0;
    for (const auto& entry : server.RequestCounts()) requests += entry.second;
    EXPECT_EQ(requests, 12);  // LOCK, 10 POST, UNLOCK
    const syncserver::ConnectionCounts connections = server.Connections();
    if (mode == ConnectionMode::kNew) {
      EXPECT_EQ(connections.accepted, requests);
      EXPECT_EQ(connections.resumed, 0);
    } else {
      EXPECT_LT(connections.accepted, requests);
      EXPECT_GT(connections.accepted, 1);
      EXPECT_EQ(connections.resumed, connections.accepted - 1);
    }
  }
}

}  // namespace
}  // namespace bench
}  // namespace quillet
