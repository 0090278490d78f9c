// The sample host with its bookmark file on a full disk (the library's store and logs on
// file systems of their own, with room): the sync never ends as a success while anything
// is left unstored, the host says the disk is full, the file stays sound with whole batches
// only, and the next sync with space back brings every record, each once.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "examples/bookmarks/kill_rerun/sqlite_file.h"
#include "examples/bookmarks/kill_rerun/sync_world.h"
#include "sync/testing/small_disk.h"
#include "tools/sync_server/sync_server.h"

namespace quillet {
namespace killrerun {
namespace {

const syncserver::SpaceKey kSpace{"full-disk", "browser"};

std::string Json(const std::string& title, const std::string& url) {
  return "{\"title\":\"" + title + "\",\"url\":\"" + url + "\"}";
}

TEST(SampleHost, FullBookmarkFileNeverPassesForSuccessAndHeals) {
  testing::SmallDisk profileDisk;
  std::string why;
  if (!profileDisk.MountTmpfs(1024, &why)) GTEST_SKIP() << why;
  const std::string profile = profileDisk.path() + "/laptop";
  testing::SmallDisk dataDisk, logDisk;  // destroyed first: mounted inside the profile
  if (!dataDisk.MountTmpfs(64 * 1024, &why, profile + "/data") ||
      !logDisk.MountTmpfs(64 * 1024, &why, profile + "/logs")) {
    GTEST_SKIP() << why;
  }

  syncserver::SyncServerOptions options;
  options.cert_file = std::string(QUILLET_SAMPLE_CERT_DIR) + "/server.pem";
  options.key_file = std::string(QUILLET_SAMPLE_CERT_DIR) + "/server.key";
  syncserver::SyncServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  const std::string padding(300, 'p');
  for (int i = 0; i < 30; ++i) {
    ASSERT_FALSE(server.service()
                     .PutRecord(kSpace, "bookmark", "cloud-" + std::to_string(i),
                                Json("cloud " + std::to_string(i) + padding,
                                     "https://cloud.example/" + std::to_string(i)))
                     .empty());
  }

  Device laptop("laptop", profile, QUILLET_SAMPLE_HOST_BIN);
  ASSERT_TRUE(laptop.Setup(server.url(), kSpace.first, 8, &error)) << error;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(laptop.Add("mine " + std::to_string(i), "https://mine.example/" + std::to_string(i),
                           &error))
        << error;
  }
  ASSERT_TRUE(profileDisk.Fill(0));

  SyncRun run = laptop.Sync();
  EXPECT_FALSE(run.killed);
  EXPECT_TRUE(WIFEXITED(run.status)) << "the host died: " << run.output;
  EXPECT_FALSE(run.Succeeded()) << "success while the bookmark file was full:\n" << run.output;
  EXPECT_NE(run.output.find("database or disk is full"), std::string::npos) << run.output;

  std::vector<Bookmark> list;
  ASSERT_TRUE(laptop.Bookmarks(&list, &error)) << error;
  // Nothing could be stored, so nothing of the download is there, not half a batch.
  EXPECT_EQ(list.size(), 6u);
  {
    SqliteFile file(laptop.BookmarkFile());
    EXPECT_EQ(file.IntegrityCheck(), "ok");
  }

  profileDisk.FreeSpace();
  run = laptop.Sync();
  ASSERT_TRUE(run.Succeeded()) << run.output;
  ASSERT_TRUE(laptop.Bookmarks(&list, &error)) << error;
  std::set<std::string> urls;
  for (const Bookmark& b : list) {
    EXPECT_TRUE(urls.insert(b.url).second) << "twice on the laptop: " << b.url;
    EXPECT_EQ(b.state, 0) << "still pending: " << b.url;
    EXPECT_FALSE(b.guid.empty()) << "no cloud link: " << b.url;
  }
  EXPECT_EQ(list.size(), 36u);
  std::set<std::string> onServer;
  for (const auto& record : server.service().Records(kSpace, "bookmark")) {
    EXPECT_TRUE(onServer.insert(record.data).second) << "twice on the server: " << record.data;
  }
  EXPECT_EQ(onServer.size(), 36u);
  server.Stop();
}

}  // namespace
}  // namespace killrerun
}  // namespace quillet
