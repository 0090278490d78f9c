// The Windows private folder and file checks against the real system calls (run under Wine
// in the tests). Wine keeps one user: another user's folder or an access list it inherits
// is not made here; what is tested is the user's own folder, the kinds of files, hard
// links, and the pinned configuration's sharing.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sync/platform/platform.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace platform {
namespace {

TEST(Win32PrivateFilesTest, TheUsersOwnFolderAndFilesPassOthersAreRefused) {
  testing::TempDir tmp;
  const std::string folder = tmp / "Quillet";
  ASSERT_TRUE(MakeDirectory(folder, nullptr));
  EXPECT_EQ(CheckPrivateFolder(folder), Trust::kOwn);
  EXPECT_EQ(CheckPrivateFolder(tmp / "missing"), Trust::kMissing);

  const std::string file = folder + "\\Quillet_info.log";
  std::FILE* opened = OpenOwnFile(file, OwnFileAccess::kReplace);
  ASSERT_NE(opened, nullptr);
  std::fputs("kept", opened);
  std::fclose(opened);
  EXPECT_EQ(CheckOwnFile(file), Trust::kOwn);
  EXPECT_EQ(CheckPrivateFolder(file), Trust::kWrongKind);
  EXPECT_NE(CheckOwnFile(folder), Trust::kOwn);

  // A second name: neither opened nor cut.
  const std::string link = folder + "\\Quillet_error.log";
  ASSERT_TRUE(CreateHardLinkA(link.c_str(), file.c_str(), nullptr));
  EXPECT_EQ(CheckOwnFile(link), Trust::kHardLinked);
  EXPECT_EQ(OpenOwnFile(link, OwnFileAccess::kReplace), nullptr);
  EXPECT_EQ(OpenOwnFile(file, OwnFileAccess::kAppend), nullptr);
  std::FILE* read = std::fopen(file.c_str(), "rb");
  ASSERT_NE(read, nullptr);
  char text[8] = {0};
  EXPECT_EQ(std::fread(text, 1, sizeof(text) - 1, read), 4u);
  std::fclose(read);
  EXPECT_STREQ(text, "kept");
}

TEST(Win32PrivateFilesTest, ThePinnedConfigurationCannotBeChangedWhileItIsRead) {
  testing::TempDir tmp;
  const std::string path = tmp / "log4cpp.active.property";
  std::string read;
  EXPECT_TRUE(ReadBackPinned(path, "ours", [&](const std::string& name) {
    const HANDLE writer = CreateFileA(name.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(MoveFileExA(name.c_str(), (name + ".moved").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(DeleteFileA(name.c_str()));
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) return false;
    char text[16] = {0};
    read.assign(text, std::fread(text, 1, sizeof(text) - 1, file));
    std::fclose(file);
    return true;
  }));
  EXPECT_EQ(read, "ours");
}

}  // namespace
}  // namespace platform
}  // namespace quillet
