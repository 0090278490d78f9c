#include "sync/log/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <fstream>
#include <iterator>

#include "sync/log/md5.h"
#include "sync/log/sync_report.h"
#include "sync/net/device_id.h"
#include "sync/platform/platform.h"
#include "sync/testing/file_modes.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/temp_dir.h"
#include "sync/testing/unicode_folders.h"

namespace quillet {
namespace {

using testing::LogCapture;
using testing::ModeOf;
using testing::TempDir;
namespace fs = std::filesystem;

WString W(const std::string& s) { return Utf8ToWide(s); }

TEST(InitLoggerTest, BothFormsOfTheLogPathGiveTheSameDirectory) {
  TempDir tmp;
  const std::string logs = tmp / "logs";
  const WString sep(1, platform::kPathSeparator);
  EXPECT_EQ(LibraryLogDirectory(W(logs)), W(logs) + sep + u"Quillet");
  EXPECT_EQ(LibraryLogDirectory(W(logs) + sep), W(logs) + sep + u"Quillet");
  ASSERT_TRUE(InitLogger(W(logs)));
  EXPECT_TRUE(fs::is_directory(fs::path(logs) / "Quillet"));
  ASSERT_TRUE(InitLogger(W(logs) + sep));  // again, now that it exists
  EXPECT_FALSE(fs::exists(fs::path(logs) / "Quillet" / "Quillet"));
}

TEST(InitLoggerTest, CreatesMissingLevelsOfAnAbsolutePath) {
  TempDir tmp;
  const WString sep(1, platform::kPathSeparator);
  ASSERT_TRUE(InitLogger(W(tmp / "a") + sep + u"b" + sep + u"c"));
  EXPECT_TRUE(fs::is_directory(fs::path(tmp / "a") / "b" / "c" / "Quillet"));
}

TEST(InitLoggerTest, FailsForEmptyRelativeOrUncreatableDirectories) {
  EXPECT_FALSE(InitLogger(WString()));
  EXPECT_FALSE(InitLogger(u"relative-logs-that-do-not-exist"));
  EXPECT_FALSE(fs::exists("relative-logs-that-do-not-exist"));
  TempDir tmp;
  // A plain file where a directory level should be.
  { std::ofstream(tmp / "file") << "x"; }
  EXPECT_FALSE(InitLogger(W(tmp / "file/logs")));
}

TEST(InitLoggerTest, MissingPropertyFileFailsAfterCreatingTheDirectory) {
  TempDir tmp;
  TempDir noProperties;
  EXPECT_FALSE(InitLoggerFrom(W(tmp / "logs"), W(noProperties.path())));
  EXPECT_TRUE(fs::is_directory(tmp / "logs/Quillet"));
}

TEST(InitLoggerTest, BrokenPropertyFileFails) {
  TempDir tmp;
  TempDir props;
  {
    std::ofstream(props / "log4cpp.nt.property")
        << "log4cpp.rootCategory=INFO, a\nlog4cpp.appender.a=NoSuchAppender\n";
  }
  EXPECT_FALSE(InitLoggerFrom(W(tmp / "logs"), W(props.path())));
}

// The property file is text the library fills the log directory into: a directory that
// would read as more than a file name there (a line of its own, a comment, a variable)
// is refused before anything is made, and the logs cannot be sent elsewhere through it.
TEST(InitLoggerTest, ALogPathThePropertyFileWouldReadOtherwiseIsRefused) {
  TempDir tmp;
  const std::string chosen = tmp / "chosen.log";
  const WString injected =
      W(tmp / "logs") + u"\nlog4cpp.appender.syncFile.fileName=" + W(chosen) + u"\n#";
  EXPECT_FALSE(InitLogger(injected));
  for (const WString& path : {W(tmp / "a\tb"), W(tmp / "a#b"), W(tmp / "a${HOME}b"),
                              W(tmp / "ab") + u"\x01", W(tmp / "ab") + u"\x7f"}) {
    EXPECT_FALSE(InitLogger(path));
  }
  LogSync(u"Info", u"Test", u"where does this line go");
  FlushLogs();
  EXPECT_FALSE(fs::exists(chosen));
  EXPECT_TRUE(fs::is_empty(tmp.path()));  // not even a directory was made
  ASSERT_TRUE(InitLogger(W(tmp / "plain")));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A link planted in the log folder in place of one of the library's files is never written
// through: the round's logging is refused instead.
TEST(InitLoggerTest, LinksPlantedInTheLogFolderAreNotFollowed) {
#if defined(_WIN32)
  GTEST_SKIP() << "Wine cannot make symbolic links";
#endif
  TempDir tmp;
  const std::string victim = tmp / "victim";
  { std::ofstream(victim) << "keep me\n"; }
  // The active property file, through a link to a file that does not exist yet.
  fs::create_directories(tmp / "a/Quillet");
  fs::create_symlink(tmp / "made-through-link", tmp / "a/Quillet/log4cpp.active.property");
  EXPECT_FALSE(InitLogger(W(tmp / "a")));
  EXPECT_FALSE(fs::exists(tmp / "made-through-link"));
  // A log file, through a link to an existing file.
  fs::create_directories(tmp / "b/Quillet");
  fs::create_symlink(victim, tmp / "b/Quillet/Quillet_error.log");
  EXPECT_FALSE(InitLogger(W(tmp / "b")));
  LogError(u"written to the victim?");
  // Planted while the configuration stands: the next round's reopen refuses it as well.
  ASSERT_TRUE(InitLogger(W(tmp / "c")));
  fs::remove(tmp / "c/Quillet/Quillet_info.log");
  fs::create_symlink(victim, tmp / "c/Quillet/Quillet_info.log");
  EXPECT_FALSE(InitLogger(W(tmp / "c")));
  LogInfo(u"appended to the victim?");
  FlushLogs();
  EXPECT_EQ(ReadAll(victim), "keep me\n");
  ASSERT_TRUE(InitLogger(W(tmp / "d")));
}

// Logs name the user's records: the folders the library makes and its files are the
// user's alone whatever the umask, an open folder of an earlier release is closed, and
// the host's own folders keep their modes.
TEST(InitLoggerTest, TheLibrarysFoldersAndFilesAreTheUsersAlone) {
#if defined(_WIN32)
  GTEST_SKIP() << "no POSIX modes on Windows";
#endif
  TempDir tmp;
  testing::ScopedUmask usual;
  fs::create_directory(tmp / "host");
  const int hostMode = ModeOf(tmp / "host");
  ASSERT_EQ(hostMode, 0755);
  const WString sep(1, platform::kPathSeparator);
  ASSERT_TRUE(InitLogger(W(tmp / "host") + sep + u"made" + sep + u"here"));
  LogInfo(u"info");
  LogError(u"error");
  LogSync(u"Info", u"Test", u"sync");
  FlushLogs();
  const std::string dir = tmp / "host/made/here/Quillet";
  EXPECT_EQ(ModeOf(dir + "/Quillet_info.log"), 0600);
  EXPECT_EQ(ModeOf(dir + "/log4cpp.active.property"), 0600);
  EXPECT_EQ(ModeOf(dir), 0700);
  EXPECT_EQ(ModeOf(tmp / "host/made"), 0700);
  EXPECT_THAT(testing::OpenToOthers(tmp / "host"), ::testing::IsEmpty());
  EXPECT_EQ(ModeOf(tmp / "host"), hostMode);

  fs::permissions(dir, static_cast<fs::perms>(0755));
  fs::permissions(dir + "/Quillet_sync.log", static_cast<fs::perms>(0644));
  ASSERT_TRUE(InitLogger(W(tmp / "host") + sep + u"made" + sep + u"here"));
  EXPECT_EQ(ModeOf(dir), 0700);
  EXPECT_EQ(ModeOf(dir + "/Quillet_sync.log"), 0600);
}

// A value from the server or the host (a guid, an etag, a luid) that holds a line break
// still makes one line per event: control characters are written escaped.
TEST(LogWritersTest, ControlCharactersInValuesCannotForgeLines) {
  TempDir tmp;
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  LogCapture capture(tmp.path());
  const std::string pid = "[" + std::to_string(platform::ProcessId()) + "]";
  // C1 controls (NEL, CSI, OSC) steer a terminal as their C0 forms do; U+2028/9 break lines.
  const WString forged =
      u"g1\n2026-01-01 00:00:00,000 INFO [1]forged\r\x1b[2J\t\x7f\x01"
      u"\u0085\u009b2J\u009d0;x\u0080\u009f\u2028\u2029\u00a0\u2027";
  const std::string escapedControls =
      "g1\\n2026-01-01 00:00:00,000 INFO [1]forged\\r\\x1b[2J\\t\\x7f\\x01"
      "\\u0085\\u009b2J\\u009d0;x\\u0080\\u009f\\u2028\\u2029";
  // Printable characters stay: UTF-8 in the info and error logs, the system's narrow code
  // page in the sync log (the same bytes as UTF-8 on POSIX).
  const std::string escaped = escapedControls + "\xC2\xA0\xE2\x80\xA7";
  const std::string escapedSync = escapedControls + platform::WideToAnsi(u"\u00a0\u2027");
  LogInfo(u"[ProcessDownloadStructData] Cloud added,guid:", forged, u",etag:e");
  LogError(u"luid:", forged);
  LogSync(u"Info", u"ProcessDownloadStructData", u"ctag:" + forged);
  EXPECT_EQ(capture.Info(),
            std::vector<std::string>{
                pid + "[ProcessDownloadStructData] Cloud added,guid:" + escaped + ",etag:e"});
  EXPECT_EQ(capture.Error(), std::vector<std::string>{pid + "luid:" + escaped});
  EXPECT_EQ(capture.Sync(),
            std::vector<std::string>{pid + "[Info][ProcessDownloadStructData] ctag:" + escapedSync});
}

TEST(LogWritersTest, LineFormsCategoriesAndEncodings) {
  TempDir tmp;
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  LogCapture capture(tmp.path());
  const std::string pid = "[" + std::to_string(platform::ProcessId()) + "]";

  LogSync(u"Info", u"InitCloudSync", u"Init database success");
  LogSync(u"Error", u"GetLock", u"Get lock failed");
  LogSyncBegin(u"StartSync");
  LogSyncDone(u"StartSync");
  LogInfo(u"caf\u00e9 \u4e2d");
  LogError(u"broken \U0001F600");

  const auto sync = capture.Sync();
  ASSERT_EQ(sync.size(), 4u);
  EXPECT_EQ(sync[0], pid + "[Info][InitCloudSync] Init database success");
  EXPECT_EQ(sync[1], pid + "[Error][GetLock] Get lock failed");
  EXPECT_EQ(sync[2], pid + "[Info][StartSync] Begin");
  EXPECT_EQ(sync[3], pid + "[Info][StartSync] Done");
  // An "Error" level word still goes to the sync category, not to the error log.
  EXPECT_EQ(capture.Error(), std::vector<std::string>{pid + "broken \xF0\x9F\x98\x80"});
  EXPECT_EQ(capture.Info(), std::vector<std::string>{pid + "caf\xC3\xA9 \xE4\xB8\xAD"});
}

TEST(LogWritersTest, ACategoryWithMoreDestinationsGetsItsLinesThroughLog4cpp) {
  // The info category adds to the root's file: each line must reach both files.
  TempDir tmp;
  TempDir props;
  const std::string pattern = "%d{%Y-%m-%d %H:%M:%S,%l} %p %m%n";
  {
    std::ofstream(props / "log4cpp.nt.property")
        << "log4cpp.rootCategory=INFO, rootFile\n"
           "log4cpp.category.subInfo=INFO, infoFile\n"
           "log4cpp.additivity.subInfo=true\n"
           "log4cpp.appender.rootFile=RollingFileAppender\n"
           "log4cpp.appender.rootFile.fileName=${QUILLET_LOG_DIR}/root.log\n"
           "log4cpp.appender.rootFile.layout=PatternLayout\n"
           "log4cpp.appender.rootFile.layout.ConversionPattern=" << pattern << "\n"
           "log4cpp.appender.infoFile=RollingFileAppender\n"
           "log4cpp.appender.infoFile.fileName=${QUILLET_LOG_DIR}/Quillet_info.log\n"
           "log4cpp.appender.infoFile.layout=PatternLayout\n"
           "log4cpp.appender.infoFile.layout.ConversionPattern=" << pattern << "\n";
  }
  ASSERT_TRUE(InitLoggerFrom(W(tmp.path()), W(props.path())));
  LogInfo(u"to both files");
  FlushLogs();
  const auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  EXPECT_NE(read(tmp / "Quillet/Quillet_info.log").find("INFO [") , std::string::npos);
  EXPECT_NE(read(tmp / "Quillet/Quillet_info.log").find("to both files"), std::string::npos);
  EXPECT_NE(read(tmp / "Quillet/root.log").find("to both files"), std::string::npos);
  // Back to the library's own configuration for the tests that follow.
  TempDir again;
  ASSERT_TRUE(InitLogger(W(again.path())));
}

TEST(LogWritersTest, ReconfiguringMovesLinesToTheNewDirectory) {
  TempDir first;
  TempDir second;
  ASSERT_TRUE(InitLogger(W(first.path())));
  LogCapture firstCapture(first.path());
  ASSERT_TRUE(InitLogger(W(second.path())));
  LogCapture secondCapture(second.path());
  LogInfo(u"after");
  EXPECT_TRUE(firstCapture.Info().empty());
  EXPECT_TRUE(LogCapture::Has(secondCapture.Info(), "after"));
}

// A LogPath in any script, past the BMP, with forward slashes and deeper than MAX_PATH:
// the library's folder is made there and its lines reach it, round after round.
TEST(LogWritersTest, LogFoldersNamedInAnyScriptTakeTheLogs) {
  TempDir tmp;
  const std::string logs = testing::MakeUnicodeFolder(tmp.path());
  ASSERT_FALSE(logs.empty());
  const std::string sep(1, static_cast<char>(platform::kPathSeparator));
  const std::string info = WideToUtf8(LibraryLogDirectory(W(logs))) + sep + "Quillet_info.log";
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(InitLogger(W(logs))) << round;
    LogInfo(u"round ", ToWide(round), u" \u8336 \U0001F600");
    FlushLogs();
  }
  std::string lines;
  ASSERT_TRUE(platform::ReadWholeFile(info, 1 << 20, &lines));
  EXPECT_NE(lines.find("round 0 \xE8\x8C\xB6 \xF0\x9F\x98\x80"), std::string::npos) << lines;
  EXPECT_NE(lines.find("round 1 "), std::string::npos) << lines;
  // Later tests log to a folder of their own.
  TempDir other;
  ASSERT_TRUE(InitLogger(W(other.path())));
}

TEST(LogWritersTest, ANewRoundRecreatesADeletedLogFile) {
  TempDir tmp;
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  LogInfo(u"before");
  fs::remove(tmp / "Quillet/Quillet_info.log");
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  LogCapture capture(tmp.path());
  LogInfo(u"after");
  EXPECT_TRUE(fs::exists(tmp / "Quillet/Quillet_info.log"));
}

TEST(LogWritersTest, ARoundStartingWhileAnotherThreadLogsLosesNoLine) {
  // The keep-alive thread of one session writes while another session's round reopens
  // the log files.
  TempDir tmp;
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  LogCapture capture(tmp.path());
  constexpr int kLines = 20000;
  std::atomic<bool> writing{true};
  std::atomic<int> rounds{0};
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i) {
      // Halfway, wait for rounds to start, so that some surely reopen the files mid-stream
      // however the two threads are scheduled.
      if (i == kLines / 2) {
        while (rounds < 2) std::this_thread::yield();
      }
      LogInfo(u"tick " + ToWide(i));
    }
    writing = false;
  });
  while (writing) {
    EXPECT_TRUE(InitLogger(W(tmp.path())));
    ++rounds;
  }
  writer.join();
  EXPECT_GT(rounds, 1);
  size_t ticks = 0;
  for (const std::string& line : capture.Info()) ticks += line.find("tick ") != std::string::npos;
  EXPECT_EQ(ticks, static_cast<size_t>(kLines));
}

// The file as it is on disk, without FlushLogs; line ends as "\n".
std::string RawFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// Info lines are written in bulk: they reach the file at FlushLogs, error lines at once,
// and a new round (a reopen) takes the waiting lines along to the old file.
TEST(LogWritersTest, InfoLinesWaitForFlushLogsErrorLinesDoNot) {
  TempDir tmp;
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  const std::string dir = tmp / "Quillet";
  const std::string info = dir + "/Quillet_info.log";
  LogInfo(u"[waiting] one");
  EXPECT_EQ(RawFile(info).find("[waiting] one"), std::string::npos);
  FlushLogs();
  EXPECT_NE(RawFile(info).find("INFO [" + std::to_string(platform::ProcessId()) + "][waiting] one\n"),
            std::string::npos);
  LogError(u"[at once] two");
  EXPECT_NE(RawFile(dir + "/Quillet_error.log").find("[at once] two\n"), std::string::npos);
  LogInfo(u"[waiting] three");
  ASSERT_TRUE(InitLogger(W(tmp.path())));
  EXPECT_NE(RawFile(info).find("[waiting] three\n"), std::string::npos);
}

TEST(Md5HexTest, KnownDigests) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex(std::string("a\0b", 3)).size(), 32u);
  EXPECT_NE(Md5Hex(std::string("a\0b", 3)), Md5Hex("a"));
}

TEST(SyncReportTest, HoldsTheSevenBaseKeys) {
  NetConfig config;
  config.SyncServerUrl = u"https://sync.example/";
  config.SyncType = u"browser";
  config.UserID = u"user-1";
  const SyncReport report = MakeSyncReport(config);
  const SyncReport expected = {{u"deviceName", DeviceIdCache()},
                               {u"domain", u"https://sync.example/"},
                               {u"endTrace", u"0"},
                               {u"logVersion", u"1.0"},
                               {u"syncType", u"browser"},
                               {u"userID", u"user-1"},
                               {u"versionname", u"1.0.0.300"}};
  EXPECT_EQ(report, expected);
}

}  // namespace
}  // namespace quillet
