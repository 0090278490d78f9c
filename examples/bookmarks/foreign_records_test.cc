// Records another client wrote, served by the reference server and read by the sample host:
// escaped surrogate pairs, numbers and nested members arrive as JSON defines them, a record
// that is no bookmark is skipped alone, and what the host uploads back reads the same on a
// second device.
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "examples/bookmarks/kill_rerun/sync_world.h"
#include "tools/sync_server/sync_server.h"

namespace quillet {
namespace killrerun {
namespace {

using syncserver::SyncServer;
using syncserver::SyncServerOptions;

const syncserver::SpaceKey kSpace{"reader", "browser"};
const std::string kSmile = "Smile \xF0\x9F\x98\x80";

std::map<std::string, std::string> TitlesByUrl(const Device& device) {
  std::vector<Bookmark> list;
  std::string error;
  EXPECT_TRUE(device.Bookmarks(&list, &error)) << error;
  std::map<std::string, std::string> out;
  for (const Bookmark& b : list) out[b.url] = b.title;
  return out;
}

std::string TitleOnServer(SyncServer& server, const std::string& url) {
  for (const auto& record : server.service().Records(kSpace, "bookmark")) {
    Json::Value value;
    std::istringstream in(record.data);
    std::string errors;
    if (Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors) &&
        value["url"].asString() == url) {
      return value["title"].asString();
    }
  }
  return "(none)";
}

TEST(SampleHost, ReadsForeignJsonThroughTheServer) {
  const std::string dir =
      std::filesystem::temp_directory_path() / ("quillet-foreign-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  SyncServerOptions options;
  options.cert_file = std::string(QUILLET_SAMPLE_CERT_DIR) + "/server.pem";
  options.key_file = std::string(QUILLET_SAMPLE_CERT_DIR) + "/server.key";
  SyncServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;

  auto& cloud = server.service();
  ASSERT_FALSE(cloud.PutRecord(kSpace, "bookmark", "guid-smile",
                               R"({"title":"Smile \ud83d\ude00","url":"https://smile.example/"})")
                   .empty());
  ASSERT_FALSE(cloud.PutRecord(kSpace, "bookmark", "guid-kernel",
                               R"({"visits":42,"url":"https://kernel.org/","title":"Kernel",)"
                               R"("meta":{"tags":["os",{"n":1}],"ratio":0.5}})")
                   .empty());
  ASSERT_FALSE(cloud.PutRecord(kSpace, "bookmark", "guid-book",
                               R"({"title":1984,"url":"https://book.example/"})")
                   .empty());
  ASSERT_FALSE(
      cloud.PutRecord(kSpace, "bookmark", "guid-odd", R"({"title":true,"url":"x"})").empty());

  Device laptop("laptop", dir + "/laptop", QUILLET_SAMPLE_HOST_BIN);
  ASSERT_TRUE(laptop.Setup(server.url(), kSpace.first, 2, &error)) << error;
  SyncRun run = laptop.Sync();
  ASSERT_TRUE(run.Succeeded()) << run.output;
  EXPECT_EQ(run.figures.cloudAdded, 4) << run.output;
  EXPECT_NE(run.output.find("skipped cloud record guid-odd"), std::string::npos) << run.output;
  const std::map<std::string, std::string> expected{{"https://smile.example/", kSmile},
                                                    {"https://kernel.org/", "Kernel"},
                                                    {"https://book.example/", "1984"}};
  EXPECT_EQ(TitlesByUrl(laptop), expected);

  // An edit goes up in this host's own writing and comes down unchanged elsewhere.
  std::vector<Bookmark> list;
  ASSERT_TRUE(laptop.Bookmarks(&list, &error)) << error;
  std::string smileLuid;
  for (const Bookmark& b : list) {
    if (b.url == "https://smile.example/") smileLuid = b.luid;
  }
  ASSERT_FALSE(smileLuid.empty());
  ASSERT_TRUE(laptop.Edit(smileLuid, kSmile + " again", "https://smile.example/", &error))
      << error;
  run = laptop.Sync();
  ASSERT_TRUE(run.Succeeded()) << run.output;
  EXPECT_EQ(run.figures.uploadedEdits, 1) << run.output;
  EXPECT_EQ(TitleOnServer(server, "https://smile.example/"), kSmile + " again");

  Device desktop("desktop", dir + "/desktop", QUILLET_SAMPLE_HOST_BIN);
  ASSERT_TRUE(desktop.Setup(server.url(), kSpace.first, 2, &error)) << error;
  run = desktop.Sync();
  ASSERT_TRUE(run.Succeeded()) << run.output;
  EXPECT_EQ(TitlesByUrl(desktop), TitlesByUrl(laptop));

  server.Stop();
  if (!HasFailure()) std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace killrerun
}  // namespace quillet
