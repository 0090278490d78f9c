// The platform layer's files and folders in folders other users can write to: what a
// second user plants there (a FIFO, a hard link, a file or folder of theirs) is refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sync/platform/platform.h"
#include "sync/testing/fifo.h"
#include "sync/testing/file_modes.h"
#include "sync/testing/other_user.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace {

using platform::OwnFileAccess;
using platform::Trust;
using testing::Contents;
using testing::TempDir;
namespace fs = std::filesystem;

const OwnFileAccess kAllAccesses[] = {OwnFileAccess::kRead, OwnFileAccess::kAppend,
                                      OwnFileAccess::kReplace};

// Opened by each access, nothing may come of it.
bool NoAccessOpens(const std::string& path) {
  bool none = true;
  for (const OwnFileAccess access : kAllAccesses) {
    std::FILE* file = platform::OpenOwnFile(path, access);
    if (file != nullptr) {
      none = false;
      std::fclose(file);
    }
  }
  return none;
}

TEST(OwnFilesTest, APlantedFifoFailsEveryOpenAtOnce) {
  TempDir tmp;
  const std::string fifo = tmp / "Quillet_info.log";
  ASSERT_TRUE(testing::MakeFifo(fifo));
  bool none = false;
  Trust trust = Trust::kOwn;
  bool existed = false;
  EXPECT_TRUE(testing::ReturnsDespiteFifos(
      [&] {
        none = NoAccessOpens(fifo);
        trust = platform::CheckOwnFile(fifo);
        platform::CreateOwnFile(fifo, &existed);
      },
      {fifo}));
  EXPECT_TRUE(none);
  EXPECT_EQ(trust, Trust::kWrongKind);
  EXPECT_TRUE(existed);
}

// A second name for a file: in a folder that was open once, another user may have linked
// their own file (or one of the user's they want emptied) into the library's place.
TEST(OwnFilesTest, AFileWithASecondNameIsNeitherOpenedNorCut) {
  TempDir tmp;
  { std::ofstream(tmp / "theirs") << "keep me\n"; }
  fs::create_hard_link(tmp / "theirs", tmp / "Quillet_error.log");
  EXPECT_TRUE(NoAccessOpens(tmp / "Quillet_error.log"));
  EXPECT_EQ(Contents(tmp / "theirs"), "keep me\n");
  EXPECT_EQ(platform::CheckOwnFile(tmp / "Quillet_error.log"), Trust::kHardLinked);
  // The same file with a single name again is the user's own.
  fs::remove(tmp / "theirs");
  EXPECT_EQ(platform::CheckOwnFile(tmp / "Quillet_error.log"), Trust::kOwn);
  std::FILE* file = platform::OpenOwnFile(tmp / "Quillet_error.log", OwnFileAccess::kReplace);
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(Contents(tmp / "Quillet_error.log"), "");
  EXPECT_EQ(platform::CheckOwnFile(tmp / "missing"), Trust::kMissing);
}

TEST(OwnFilesTest, AFileOfAnotherUsersIsNeitherWrittenNorRead) {
  if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as a second user";
  TempDir tmp;
  const std::string shared = tmp / "shared";
  ASSERT_TRUE(testing::MakeSharedFolder(shared));
  const std::string planted = shared + "/Quillet_sync.log";
  ASSERT_TRUE(testing::AsOtherUser([&] {
    const int fd = open(planted.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    return fd >= 0 && write(fd, "theirs\n", 7) == 7 && close(fd) == 0;
  }));
  ASSERT_EQ(testing::OwnerOf(planted), static_cast<long>(testing::kOtherUid));
  EXPECT_TRUE(NoAccessOpens(planted));
  EXPECT_EQ(Contents(planted), "theirs\n");
  EXPECT_EQ(platform::CheckOwnFile(planted), Trust::kOtherOwner);
}

TEST(PrivateFolderTest, OnlyTheUsersOwnFolderPassesAndAnOpenOneIsClosed) {
  TempDir tmp;
  fs::create_directory(tmp / "own");
  EXPECT_EQ(platform::CheckPrivateFolder(tmp / "own"), Trust::kOwn);
  fs::permissions(tmp / "own", static_cast<fs::perms>(0777));
  EXPECT_EQ(platform::CheckPrivateFolder(tmp / "own"), Trust::kOwn);
  EXPECT_EQ(testing::ModeOf(tmp / "own"), 0700);
  fs::create_directory_symlink(tmp / "own", tmp / "link");
  EXPECT_EQ(platform::CheckPrivateFolder(tmp / "link"), Trust::kLink);
  { std::ofstream(tmp / "file") << "x"; }
  EXPECT_EQ(platform::CheckPrivateFolder(tmp / "file"), Trust::kWrongKind);
  EXPECT_EQ(platform::CheckPrivateFolder(tmp / "missing"), Trust::kMissing);

  if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as a second user";
  const std::string shared = tmp / "shared";
  ASSERT_TRUE(testing::MakeSharedFolder(shared));
  const std::string squatted = shared + "/Quillet";
  ASSERT_TRUE(testing::AsOtherUser([&] { return mkdir(squatted.c_str(), 0777) == 0; }));
  EXPECT_EQ(platform::CheckPrivateFolder(squatted), Trust::kOtherOwner);
  EXPECT_EQ(testing::ModeOf(squatted), 0777);  // not the user's to change
}

// A reader that takes a file name only gets the bytes written, however the file on disk
// changes while it reads.
TEST(ReadBackPinnedTest, TheReaderGetsTheBytesWrittenWhateverBecomesOfTheFile) {
  TempDir tmp;
  const std::string path = tmp / "log4cpp.active.property";
  std::string read;
  EXPECT_TRUE(platform::ReadBackPinned(path, "ours\n", [&](const std::string& name) {
    EXPECT_EQ(Contents(path), "ours\n");  // the copy the user may look at
    EXPECT_EQ(testing::ModeOf(path), 0600);
    // Swapped for another file as soon as it was written.
    { std::ofstream(tmp / "swap") << "theirs\n"; }
    fs::rename(tmp / "swap", path);
    read = Contents(name);
    return true;
  }));
  EXPECT_EQ(read, "ours\n");

  // A reader's failure is the call's; a file that cannot be written calls no reader.
  EXPECT_FALSE(platform::ReadBackPinned(path, "x", [](const std::string&) { return false; }));
  fs::remove(path);
  fs::create_directory(path);
  bool called = false;
  EXPECT_FALSE(platform::ReadBackPinned(path, "x", [&](const std::string&) {
    called = true;
    return true;
  }));
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace quillet
