// The store in a DbPath other users can write to: a store folder or file another user made
// or planted is refused (2007 for the round), and nothing blocks on a planted FIFO.
#include "sync/store/store_folder.h"

#include <gtest/gtest.h>

#include "sync/store/delivery_journal.h"
#include "sync/store/store_test_support.h"
#include "sync/testing/fifo.h"
#include "sync/testing/file_modes.h"
#include "sync/testing/other_user.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {
namespace {

using testing::Contents;
namespace fs = std::filesystem;

class StoreFolderTest : public store_testing::StoreTest {
 protected:
  std::string StoreDir(const WString& user) const { return BuildStoreDirectory(user, DataDir()); }
};

bool WriteAs(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

TEST_F(StoreFolderTest, AStoreAnotherUserMadeFirstIsRefused) {
  if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "needs root to act as a second user";
  ASSERT_TRUE(testing::MakeSharedFolder(root_ + "/data"));
  // Everything made first, open to all, with a store file of theirs.
  const std::string theirs = StoreDir(u"user-1");
  const std::string quillet = theirs.substr(0, theirs.rfind('/'));
  ASSERT_TRUE(testing::AsOtherUser([&] {
    return mkdir(quillet.c_str(), 0777) == 0 && mkdir(theirs.c_str(), 0777) == 0 &&
           WriteAs(theirs + "/Quillet.dat", "planted", 0666);
  }));
  EXPECT_FALSE(Init(u"user-1"));
  EXPECT_EQ(Contents(theirs + "/Quillet.dat"), "planted");
  EXPECT_NE(ErrorLog().find(quillet + " belongs to another user"), std::string::npos) << ErrorLog();

  // Only the user's folder in it made first, in a "Quillet" of the user's an earlier
  // release left open.
  ASSERT_TRUE(testing::MakeSharedFolder(root_ + "/data2"));
  const WString dataDir = Utf8ToWide(root_ + "/data2/");
  ASSERT_TRUE(DataBaseOperator::GetInstance().IntiDataBase(u"user-1", dataDir));
  const std::string ours = BuildStoreDirectory(u"user-1", dataDir);
  const std::string open = ours.substr(0, ours.rfind('/'));
  fs::permissions(open, static_cast<fs::perms>(0777));
  const std::string planted = BuildStoreDirectory(u"user-2", dataDir);
  ASSERT_TRUE(testing::AsOtherUser([&] {
    return mkdir(planted.c_str(), 0777) == 0 && WriteAs(planted + "/Quillet.dat", "planted", 0666);
  }));
  EXPECT_FALSE(DataBaseOperator::GetInstance().IntiDataBase(u"user-2", dataDir));
  EXPECT_EQ(Contents(planted + "/Quillet.dat"), "planted");
  EXPECT_NE(ErrorLog().find(planted + " belongs to another user"), std::string::npos);
  EXPECT_EQ(testing::ModeOf(open), 0700);
  EXPECT_TRUE(DataBaseOperator::GetInstance().IntiDataBase(u"user-1", dataDir));
}

// In the user's own store folder: files another user may have planted while it was open,
// or a FIFO, in place of the store or of the files SQLite keeps beside it.
TEST_F(StoreFolderTest, PlantedStoreFilesAreRefusedWithoutBlocking) {
  struct Case {
    const char* file;
    const char* kind;  // fifo, link (a second name), theirs (another user's)
    const char* reason;
  } cases[] = {
      {"Quillet.dat", "fifo", "is not of the expected kind"},
      {"Quillet.dat", "link", "has another name as well"},
      {"Quillet.dat-wal", "link", "has another name as well"},
      {"Quillet.dat", "theirs", "belongs to another user"},
      {"Quillet.dat-shm", "theirs", "belongs to another user"},
  };
  int user = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.kind);
    const bool asOther = std::string(c.kind) == "theirs";
    if (asOther && !testing::CanActAsOtherUser()) continue;
    const WString userId = u"user-" + ToWide(++user);
    const std::string dir = StoreDir(userId);
    fs::create_directories(dir);
    const std::string target = dir + "/" + c.file;
    const std::string elsewhere = root_ + "/elsewhere-" + std::to_string(user);
    if (std::string(c.kind) == "fifo") {
      ASSERT_TRUE(testing::MakeFifo(target));
    } else if (std::string(c.kind) == "link") {
      { std::ofstream(elsewhere) << "keep me"; }
      fs::create_hard_link(elsewhere, target);
    } else {
      fs::permissions(dir, static_cast<fs::perms>(0777));
      fs::permissions(root_, static_cast<fs::perms>(0755));
      for (std::string up = dir; up != root_; up = up.substr(0, up.rfind('/'))) {
        fs::permissions(up, static_cast<fs::perms>(0755));
      }
      fs::permissions(dir, static_cast<fs::perms>(0777));
      ASSERT_TRUE(testing::AsOtherUser([&] { return WriteAs(target, "", 0666); }));
    }
    bool opened = true;
    EXPECT_TRUE(testing::ReturnsDespiteFifos([&] { opened = Init(userId); }, {target}));
    EXPECT_FALSE(opened);
    EXPECT_NE(ErrorLog().find(target + " " + c.reason), std::string::npos) << ErrorLog();
    if (std::string(c.kind) == "link") {
      EXPECT_EQ(Contents(elsewhere), "keep me");
    }
    fs::remove(target);
    EXPECT_TRUE(Init(userId));
  }
}

// The journal is opened while the cloud lock is held: a FIFO in its place fails the step
// at once instead of holding the lock for good.
TEST_F(StoreFolderTest, AFifoInPlaceOfTheDeliveryJournalFailsAtOnce) {
  ASSERT_TRUE(Init());
  DeliveryJournal journal(DataBaseOperator::GetInstance().DbPath(), u"bookmark");
  ASSERT_TRUE(testing::MakeFifo(journal.path()));
  StructRecord record;
  record.guid = u"g1";
  record.data = u"d1";
  bool recorded = true;
  size_t read = 1;
  EXPECT_TRUE(testing::ReturnsDespiteFifos(
      [&] {
        read = journal.Read().size();
        recorded = journal.Record({}, {record});
      },
      {journal.path()}));
  EXPECT_FALSE(recorded);
  EXPECT_EQ(read, 0u);
}

}  // namespace
}  // namespace quillet

#endif  // _WIN32
