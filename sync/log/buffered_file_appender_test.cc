#include "sync/log/buffered_file_appender.h"

#include <gtest/gtest.h>
#include <log4cpp/PatternLayout.hh>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "sync/platform/platform.h"
#include "sync/testing/temp_dir.h"
#include "sync/testing/unicode_folders.h"

namespace quillet {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

// The file's text with line ends as "\n" (Windows writes "\r\n").
std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  std::string text = out.str();
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

log4cpp::LoggingEvent Event(const std::string& message, log4cpp::Priority::Value priority,
                            unsigned int seconds, unsigned int micros) {
  log4cpp::LoggingEvent event("subInfo", message, "", priority);
  event.timeStamp = log4cpp::TimeStamp(seconds, micros);
  return event;
}

TEST(BufferedFileAppenderTest, LinesAreLog4cppsOwnBytes) {
  TempDir tmp;
  BufferedRollingFileAppender appender("a", tmp / "a.log", 1 << 20, 3, true, 0644,
                                       BufferedRollingFileAppender::kLinePattern);
  EXPECT_TRUE(appender.FormatsNatively());
  log4cpp::PatternLayout layout;
  layout.setConversionPattern(BufferedRollingFileAppender::kLinePattern);
  // Milliseconds of every width, a second and a day boundary, both levels, odd messages.
  const unsigned int times[][2] = {{1700000000u, 0u},      {1700000000u, 5000u},
                                   {1700000000u, 42999u},  {1700000000u, 999999u},
                                   {1700000001u, 1000u},   {1704067199u, 999000u},
                                   {1704067200u, 123456u}, {0u, 0u}};
  for (const auto& time : times) {
    for (auto priority : {log4cpp::Priority::INFO, log4cpp::Priority::ERROR}) {
      for (const std::string message : {"", "[42]plain", "100% %d{x} \"quoted\"\ttab"}) {
        const auto event = Event(message, priority, time[0], time[1]);
        EXPECT_EQ(appender.Format(event), layout.format(event)) << time[0] << " " << time[1];
      }
    }
  }
}

TEST(BufferedFileAppenderTest, OtherPatternsGoThroughTheLayout) {
  TempDir tmp;
  BufferedRollingFileAppender appender("b", tmp / "b.log", 1 << 20, 3, true, 0644,
                                       "%p: %m (%c)%n");
  EXPECT_FALSE(appender.FormatsNatively());
  const auto event = Event("text", log4cpp::Priority::INFO, 1700000000u, 0u);
  EXPECT_EQ(appender.Format(event), "INFO: text (subInfo)\n");
}

TEST(BufferedFileAppenderTest, InfoLinesWaitForAFlushErrorLinesDoNot) {
  TempDir tmp;
  const std::string file = tmp / "c.log";
  auto appender = std::make_unique<BufferedRollingFileAppender>(
      "c", file, 1 << 20, 3, true, 0644, BufferedRollingFileAppender::kLinePattern);
  appender->doAppend(Event("[1]one", log4cpp::Priority::INFO, 1700000000u, 0u));
  EXPECT_EQ(Contents(file), "");
  appender->Flush();
  const std::string one = Contents(file);
  EXPECT_NE(one.find("INFO [1]one\n"), std::string::npos);
  // An error line takes the info lines before it along, in their order.
  appender->doAppend(Event("[1]two", log4cpp::Priority::INFO, 1700000000u, 0u));
  appender->doAppend(Event("[1]three", log4cpp::Priority::ERROR, 1700000000u, 0u));
  const std::string three = Contents(file);
  EXPECT_LT(three.find("[1]two"), three.find("ERROR [1]three"));
  // A reopen and the end of the appender write what waits.
  appender->doAppend(Event("[1]four", log4cpp::Priority::INFO, 1700000000u, 0u));
  ASSERT_TRUE(appender->reopen());
  EXPECT_NE(Contents(file).find("[1]four"), std::string::npos);
  appender->doAppend(Event("[1]five", log4cpp::Priority::INFO, 1700000000u, 0u));
  appender.reset();
  EXPECT_NE(Contents(file).find("[1]five"), std::string::npos);
}

TEST(BufferedFileAppenderTest, FullBufferIsWrittenWithoutAFlush) {
  TempDir tmp;
  const std::string file = tmp / "d.log";
  BufferedRollingFileAppender appender("d", file, 100 << 20, 3, true, 0644,
                                       BufferedRollingFileAppender::kLinePattern);
  const std::string line(200, 'x');
  size_t written = 0;
  while (written < BufferedRollingFileAppender::kFlushBytes) {
    appender.doAppend(Event(line, log4cpp::Priority::INFO, 1700000000u, 0u));
    written += line.size();
  }
  EXPECT_GE(Contents(file).size(), BufferedRollingFileAppender::kFlushBytes);
}

// Both appenders get the same lines; the files they leave, rolled over and all, must match.
TEST(BufferedFileAppenderTest, RollsOverAtTheSameLinesAsLog4cpp) {
  TempDir tmp;
  fs::create_directories(tmp / "plain");
  fs::create_directories(tmp / "buffered");
  const size_t limit = 4096;
  {
    log4cpp::RollingFileAppender plain("plain", tmp / "plain/x.log", limit, 2);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern(BufferedRollingFileAppender::kLinePattern);
    plain.setLayout(layout);
    BufferedRollingFileAppender buffered("buffered", tmp / "buffered/x.log", limit, 2, true,
                                         0644, BufferedRollingFileAppender::kLinePattern);
    for (int i = 0; i < 300; ++i) {
      const auto event = Event("[7]line " + std::to_string(i) + std::string(i % 37, '.'),
                               i % 50 == 0 ? log4cpp::Priority::ERROR : log4cpp::Priority::INFO,
                               1700000000u + i / 10, (i * 7919u) % 1000000u);
      plain.doAppend(event);
      buffered.doAppend(event);
      if (i % 90 == 0) buffered.Flush();
    }
  }
  for (const char* name : {"x.log", "x.log.1", "x.log.2"}) {
    ASSERT_TRUE(fs::exists(tmp / (std::string("plain/") + name))) << name;
    EXPECT_EQ(Contents(tmp / (std::string("buffered/") + name)),
              Contents(tmp / (std::string("plain/") + name)))
        << name;
  }
  EXPECT_FALSE(fs::exists(tmp / "buffered/x.log.3"));
}

// The appender opens, reopens and rolls its files by their UTF-8 names: on Windows a
// folder outside the ANSI code page or past MAX_PATH, which log4cpp's narrow calls miss.
TEST(BufferedFileAppenderTest, RollsOverInFoldersNamedInAnyScript) {
  TempDir tmp;
  const std::string folder = testing::MakeUnicodeFolder(tmp.path());
  ASSERT_FALSE(folder.empty());
  const std::string file = folder + "/x.log";
  {
    BufferedRollingFileAppender appender("unicode", file, 2048, 2, true, 0644,
                                         BufferedRollingFileAppender::kLinePattern);
    for (int i = 0; i < 100; ++i) {
      appender.doAppend(Event("[7]line " + std::to_string(i) + std::string(40, '.'),
                              log4cpp::Priority::INFO, 1700000000u, 0u));
    }
    appender.Flush();
    ASSERT_TRUE(appender.reopen());
    appender.doAppend(Event("[7]after the reopen", log4cpp::Priority::ERROR, 1700000000u, 0u));
  }
  std::string last;
  ASSERT_TRUE(platform::ReadWholeFile(file, 1 << 20, &last));
  EXPECT_NE(last.find("after the reopen"), std::string::npos);
  for (const char* backup : {".1", ".2"}) {
    std::string rolled;
    ASSERT_TRUE(platform::ReadWholeFile(file + backup, 1 << 20, &rolled)) << backup;
    EXPECT_GE(rolled.size(), 2048u) << backup;
  }
  EXPECT_FALSE(platform::PathExists(file + ".3"));
}

TEST(BufferedFileAppenderTest, DirectLinesAreTheLinesOfAnEventMadeThen) {
  TempDir tmp;
  BufferedRollingFileAppender appender("direct", tmp / "direct.log", 1 << 20, 1, true, 00644,
                                       BufferedRollingFileAppender::kLinePattern);
  ASSERT_TRUE(appender.FormatsNatively());
  const log4cpp::TimeStamp before;
  ASSERT_TRUE(appender.AppendDirect(log4cpp::Priority::INFO, "[1]direct \"line\""));
  const log4cpp::TimeStamp after;
  appender.Flush();
  const std::string text = Contents(tmp / "direct.log");
  // Formatted as an event of that moment would be, by log4cpp's own layout.
  log4cpp::PatternLayout layout;
  layout.setConversionPattern(BufferedRollingFileAppender::kLinePattern);
  std::vector<std::string> candidates;
  for (const log4cpp::TimeStamp& at : {before, after}) {
    log4cpp::LoggingEvent event("subInfo", "[1]direct \"line\"", "", log4cpp::Priority::INFO);
    event.timeStamp = at;
    candidates.push_back(layout.format(event));
  }
  EXPECT_TRUE(text.size() == candidates[0].size() &&
              text.compare(0, 20, candidates[0], 0, 20) == 0 &&
              text.compare(23, std::string::npos, candidates[0], 23, std::string::npos) == 0)
      << text << " against " << candidates[0];
  EXPECT_TRUE(text >= candidates[0] && text <= candidates[1]) << text;

  // The threshold drops a line as log4cpp would; a filter sends it back to log4cpp.
  appender.setThreshold(log4cpp::Priority::WARN);
  EXPECT_TRUE(appender.AppendDirect(log4cpp::Priority::INFO, "[1]dropped"));
  appender.Flush();
  EXPECT_EQ(Contents(tmp / "direct.log"), text);
  BufferedRollingFileAppender patterned("patterned", tmp / "patterned.log", 1 << 20, 1, true,
                                        00644, "%p %m%n");
  EXPECT_FALSE(patterned.AppendDirect(log4cpp::Priority::ERROR, "[1]through the layout"));
}

TEST(BufferedFileAppenderTest, ReplacesOnlyPlainRollingFilesOfOneCategory) {
  TempDir tmp;
  log4cpp::Category& own = log4cpp::Category::getInstance("bufferedTestOwn");
  log4cpp::Category& other = log4cpp::Category::getInstance("bufferedTestOther");
  own.removeAllAppenders();
  other.removeAllAppenders();
  auto* mine = new log4cpp::RollingFileAppender("bufferedMine", tmp / "mine.log", 1 << 20, 1);
  auto* layout = new log4cpp::PatternLayout();
  layout->setConversionPattern(BufferedRollingFileAppender::kLinePattern);
  mine->setLayout(layout);
  mine->setThreshold(log4cpp::Priority::WARN);
  own.addAppender(mine);
  // Shared with a category of someone else: left alone.
  auto* shared = new log4cpp::RollingFileAppender("bufferedShared", tmp / "shared.log");
  own.addAppender(shared);
  other.addAppender(*shared);  // not owned there
  // Another kind of appender: left alone.
  auto* plainFile = new log4cpp::FileAppender("bufferedFile", tmp / "file.log");
  own.addAppender(plainFile);

  EXPECT_EQ(BufferedRollingFileAppender::ReplaceIn(own), 1);
  int buffered = 0;
  for (log4cpp::Appender* appender : own.getAllAppenders()) {
    if (auto* b = dynamic_cast<BufferedRollingFileAppender*>(appender)) {
      ++buffered;
      EXPECT_EQ(b->getName(), "bufferedMine");
      EXPECT_EQ(b->getThreshold(), log4cpp::Priority::WARN);
      EXPECT_EQ(b->getMaxBackupIndex(), 1u);
      EXPECT_TRUE(b->FormatsNatively());
      EXPECT_EQ(log4cpp::Appender::getAppender("bufferedMine"), b);
    }
  }
  EXPECT_EQ(buffered, 1);
  EXPECT_EQ(own.getAllAppenders().size(), 3u);
  EXPECT_EQ(other.getAllAppenders().count(shared), 1u);
  own.error("[3]through the category");
  own.info("[3]below the threshold");
  const std::string text = Contents(tmp / "mine.log");
  EXPECT_NE(text.find("ERROR [3]through the category\n"), std::string::npos);
  EXPECT_EQ(text.find("below the threshold"), std::string::npos);
  other.removeAllAppenders();
  own.removeAllAppenders();
}

}  // namespace
}  // namespace quillet
