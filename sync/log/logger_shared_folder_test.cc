// Logging into a LogPath other users can write to (a shared or sticky folder): what a
// second user made or planted there is never written to, read back or blocked on.
#include "sync/log/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sync/platform/platform.h"
#include "sync/testing/fifo.h"
#include "sync/testing/file_modes.h"
#include "sync/testing/other_user.h"
#include "sync/testing/temp_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {
namespace {

using testing::Contents;
using testing::TempDir;
namespace fs = std::filesystem;

WString W(const std::string& s) { return Utf8ToWide(s); }

// A configuration of the other user's: every line of the library's goes to their file.
std::string TheirConfiguration(const std::string& file) {
  std::string text = "log4cpp.rootCategory=INFO, theirs\n";
  for (const char* category : {"subInfo", "subError", "subSync"}) {
    text += std::string("log4cpp.category.") + category + "=INFO, theirs\n";
  }
  return text + "log4cpp.appender.theirs=FileAppender\nlog4cpp.appender.theirs.fileName=" + file +
         "\nlog4cpp.appender.theirs.layout=BasicLayout\n";
}

bool WriteAs(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

TEST(SharedLogFolderTest, ALogFolderAnotherUserMadeOrLinkedIsRefused) {
  if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as a second user";
  TempDir tmp;
  const std::string shared = tmp / "shared";
  ASSERT_TRUE(testing::MakeSharedFolder(shared));
  // Made first, open to all, with their configuration and log file waiting in it.
  const std::string squatted = shared + "/first";
  const std::string theirLog = squatted + "/Quillet/Quillet_info.log";
  const std::string theirActive = squatted + "/Quillet/log4cpp.active.property";
  // Or "Quillet" a link to a folder of theirs.
  const std::string linked = shared + "/second";
  const std::string theirFolder = shared + "/theirs";
  ASSERT_TRUE(testing::AsOtherUser([&] {
    return mkdir(squatted.c_str(), 0777) == 0 && mkdir((squatted + "/Quillet").c_str(), 0777) == 0 &&
           WriteAs(theirLog, "", 0666) && WriteAs(theirActive, TheirConfiguration(theirLog), 0666) &&
           mkdir(linked.c_str(), 0777) == 0 && mkdir(theirFolder.c_str(), 0777) == 0 &&
           symlink(theirFolder.c_str(), (linked + "/Quillet").c_str()) == 0;
  }));

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(InitLogger(W(squatted)));
  EXPECT_FALSE(InitLogger(W(linked)));
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(squatted + "/Quillet belongs to another user"), std::string::npos) << said;
  EXPECT_NE(said.find(linked + "/Quillet is a link"), std::string::npos) << said;
  LogInfo(u"the user's line");
  LogError(u"the user's error");
  FlushLogs();
  EXPECT_EQ(Contents(theirLog), "");
  EXPECT_EQ(Contents(theirActive), TheirConfiguration(theirLog));
  EXPECT_TRUE(fs::is_empty(theirFolder));
  EXPECT_EQ(testing::ModeOf(squatted + "/Quillet"), 0777);  // theirs: left as it is

  // A folder of the user's own in the same shared folder works.
  ASSERT_TRUE(InitLogger(W(shared + "/own")));
  EXPECT_EQ(testing::ModeOf(shared + "/own/Quillet"), 0700);
}

// The user's own folder, left open by an earlier release: what another user planted in it
// then (a hard link to their file, a log file of theirs) is refused until it is gone.
TEST(SharedLogFolderTest, FilesAnotherUserPlantedInTheLogFolderAreRefused) {
  if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as a second user";
  TempDir tmp;
  const std::string shared = tmp / "shared";
  ASSERT_TRUE(testing::MakeSharedFolder(shared));
  const std::string theirFile = shared + "/their.log";
  ASSERT_TRUE(testing::AsOtherUser([&] { return WriteAs(theirFile, "theirs\n", 0666); }));
  struct Case {
    const char* name;
    bool (*plant)(const std::string& theirs, const std::string& target);
    const char* leftAs;
    const char* reason;
  } cases[] = {
      {"Quillet_error.log",
       [](const std::string& theirs, const std::string& target) {
         return link(theirs.c_str(), target.c_str()) == 0;
       },
       "theirs\n", "belongs to another user"},
      {"Quillet_sync.log",
       [](const std::string&, const std::string& target) { return WriteAs(target, "", 0666); },
       "", "belongs to another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string logPath = shared + "/" + c.name + ".d";
    ASSERT_TRUE(InitLogger(W(logPath)));
    const std::string folder = logPath + "/Quillet";
    const std::string target = folder + "/" + c.name;
    fs::remove(target);
    fs::permissions(logPath, static_cast<fs::perms>(0755));
    fs::permissions(folder, static_cast<fs::perms>(0777));
    ASSERT_TRUE(testing::AsOtherUser([&] { return c.plant(theirFile, target); }));

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(InitLogger(W(logPath)));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(target + " " + c.reason), std::string::npos) << said;
    LogError(u"the user's error");
    LogSync(u"Info", u"Test", u"the user's sync line");
    FlushLogs();
    EXPECT_EQ(Contents(theirFile), "theirs\n");
    EXPECT_EQ(Contents(target), c.leftAs);
    EXPECT_EQ(testing::ModeOf(folder), 0700);  // closed to others all the same
    fs::remove(target);
    EXPECT_TRUE(InitLogger(W(logPath)));
  }
}

TEST(SharedLogFolderTest, FifosInPlaceOfTheLogFilesNeverBlock) {
  TempDir tmp;
  for (const char* name : {"Quillet_info.log", "log4cpp.active.property"}) {
    SCOPED_TRACE(name);
    // Planted before this folder's first round: a round with the configuration in force
    // writes the active file no more.
    const std::string logPath = tmp / name;
    fs::create_directories(logPath + "/Quillet");
    fs::permissions(logPath + "/Quillet", static_cast<fs::perms>(0700));
    const std::string fifo = logPath + "/Quillet/" + name;
    ASSERT_TRUE(testing::MakeFifo(fifo));
    bool result = true;
    EXPECT_TRUE(testing::ReturnsDespiteFifos([&] { result = InitLogger(W(logPath)); }, {fifo}));
    EXPECT_FALSE(result);
    fs::remove(fifo);
    EXPECT_TRUE(InitLogger(W(logPath)));
  }
}

// log4cpp takes its configuration from a copy nobody else can change: a configuration put
// in place of the active file as soon as the library has written it is never the one
// that applies.
TEST(SharedLogFolderTest, TheActiveConfigurationIsNeverReadBackByName) {
  TempDir tmp;
  const std::string theirLog = tmp / "their.log";
  const std::string prepared = tmp / "prepared";
  const std::string logPaths[] = {tmp / "a", tmp / "b"};
  for (const std::string& logPath : logPaths) ASSERT_TRUE(InitLogger(W(logPath)));
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) {
      for (const std::string& logPath : logPaths) {
        if (!WriteAs(prepared, TheirConfiguration(theirLog), 0600)) continue;
        std::rename(prepared.c_str(), (logPath + "/Quillet/log4cpp.active.property").c_str());
      }
    }
  });
  int configured = 0;
  // Two folders in turn: each round configures log4cpp anew.
  for (int round = 0; round < 200; ++round) {
    if (InitLogger(W(logPaths[round % 2]))) ++configured;
    LogError(u"the user's error");
  }
  stop = true;
  swapper.join();
  FlushLogs();
  EXPECT_EQ(configured, 200);
  EXPECT_FALSE(fs::exists(theirLog));
  ASSERT_TRUE(InitLogger(W(logPaths[0])));
}

}  // namespace
}  // namespace quillet

#endif  // _WIN32
