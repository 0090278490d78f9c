// The store and the delivery journal on a file system that runs out of room, fails its
// writes or turns read-only: the process survives, every failure is reported as one and
// names its cause, and the store works again once the fault is gone.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sync/store/delivery_journal.h"
#include "sync/store/store_test_support.h"
#include "sync/store/write_failure.h"
#include "sync/testing/small_disk.h"
#include "sync/testing/write_faults.h"

namespace quillet {
namespace {

using store_testing::RawDb;
using store_testing::StoreTest;

std::vector<EtagItem> Rows(int n, const std::string& tag) {
  std::vector<EtagItem> rows;
  for (int i = 0; i < n; ++i) {
    EtagItem row;
    row.luid = Utf8ToWide(tag + "-luid-" + std::to_string(i));
    row.type = u"bookmark";
    row.guid = Utf8ToWide(tag + "-guid-" + std::to_string(i) + std::string(150, 'g'));
    row.etag = u"etag";
    rows.push_back(row);
  }
  return rows;
}

class FullDiskTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    testing::InstallFaultVfs();
    testing::ResetWriteFaults();
  }
  void TearDown() override {
    testing::ResetWriteFaults();
    StoreTest::TearDown();
  }
  bool InitOn(const std::string& dir) {
    return DataBaseOperator::GetInstance().IntiDataBase(u"user-1", Utf8ToWide(dir + "/"));
  }
  DataBaseOperator& store = DataBaseOperator::GetInstance();
};

#if !defined(_WIN32)
// SQLite writes one byte per memory page of a WAL index it maps; on a file system with
// 1 KiB blocks that leaves three blocks of each page unallocated, and the first store into
// one of them on a full disk is a SIGBUS. Every level of free space from 1 to 40 KiB, each
// in a process of its own: none may die of a signal, and whatever failed is reported.
TEST_F(FullDiskTest, NearlyFullExt4NeverKillsTheProcess) {
  testing::SmallDisk disk;
  std::string why;
  if (!disk.MountExt4(4096, &why)) GTEST_SKIP() << why;
  int signalled = 0;
  std::string signals;
  for (int leave = 1; leave <= 40; leave += 2) {
    const std::string dir = disk.path() + "/level" + std::to_string(leave);
    ASSERT_TRUE(InitOn(dir));
    ASSERT_TRUE(store.InsertEtagDataBatch(Rows(5, "before")));
    ASSERT_TRUE(disk.Fill(leave));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // A download's writes: rows in batches, a ctag; each may fail, none may crash.
      bool any = false;
      for (int batch = 0; batch < 4; ++batch) {
        any |= !store.InsertEtagDataBatch(Rows(5, "b" + std::to_string(batch)));
      }
      any |= !store.UpdateCtagData(u"bookmark", u"ctag-2");
      std::vector<EtagItem> read;
      const bool readable = store.GetEtagDataItemsByType(read, u"bookmark");
      _exit(readable ? (any ? 1 : 0) : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status)) {
      ++signalled;
      signals += " " + std::to_string(leave) + "KiB:signal " + std::to_string(WTERMSIG(status));
    } else {
      EXPECT_NE(WEXITSTATUS(status), 2) << "store unreadable with " << leave << " KiB left";
    }
    disk.FreeSpace();
    // With room again the store takes writes and is sound.
    EXPECT_TRUE(store.InsertEtagDataBatch(Rows(3, "after")));
    EXPECT_EQ(RawDb(WideToUtf8(store.DbPath())).Query("PRAGMA integrity_check;"), "ok");
  }
  EXPECT_EQ(signalled, 0) << "killed at:" << signals;
}
#endif

// The store never maps a WAL index (the mapping is what a full disk turns into SIGBUS),
// and two connections of one process still share it: one waits while the other works.
TEST_F(FullDiskTest, WalIndexIsNeverMappedAndConnectionsStillShareTheStore) {
  ASSERT_TRUE(Init());
  const long before = testing::WalIndexMaps();
  ASSERT_TRUE(store.InsertEtagDataBatch(Rows(20, "a")));
  ASSERT_TRUE(store.UpdateCtagData(u"bookmark", u"c1"));
  std::vector<EtagItem> read;
  ASSERT_TRUE(store.GetEtagDataItemsByType(read, u"bookmark"));
  EXPECT_EQ(read.size(), 20u);
  EXPECT_EQ(testing::WalIndexMaps(), before);
  EXPECT_EQ(RawDb(DbFile()).Query("PRAGMA journal_mode;"), "wal");
  EXPECT_FALSE(std::filesystem::exists(DbFile() + "-shm"));

  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        std::vector<EtagItem> rows;
        if (!store.InsertEtagDataBatch(Rows(2, "t" + std::to_string(t) + "-" + std::to_string(i))) ||
            !store.GetEtagDataItemsByType(rows, u"bookmark")) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  read.clear();
  ASSERT_TRUE(store.GetEtagDataItemsByType(read, u"bookmark"));
  EXPECT_EQ(read.size(), 40u);
}

// A full tmpfs, a read-only remount and a failing device each fail the write, and the
// failure names its cause in the error log and for the sync's own error line.
TEST_F(FullDiskTest, FailedWritesNameTheirCause) {
  ASSERT_TRUE(Init());
  ASSERT_TRUE(store.InsertEtagDataBatch(Rows(2, "a")));

  testing::FailAllWrites(testing::WriteFault::kIoError);
  EXPECT_FALSE(store.InsertEtagDataBatch(Rows(2, "b")));
  EXPECT_EQ(LatestWriteFailure(), u"I/O error");
  testing::ResetWriteFaults();

  testing::FailAllWrites(testing::WriteFault::kDiskFull);
  CtagItem ctag;
  ctag.ctag_name = u"bookmark";
  ctag.ctag_value = u"c";
  EXPECT_FALSE(store.InsertCtagData(ctag));
  EXPECT_EQ(LatestWriteFailure(), u"disk full");
  EXPECT_EQ(WriteFailureSuffix(), u",cause: disk full");
  testing::ResetWriteFaults();

#if !defined(_WIN32)
  testing::SmallDisk disk;
  std::string why;
  if (!disk.MountTmpfs(512, &why)) GTEST_SKIP() << why;
  ASSERT_TRUE(InitOn(disk.path()));
  ASSERT_TRUE(store.InsertEtagDataBatch(Rows(2, "c")));
  ASSERT_TRUE(disk.Fill(0));
  EXPECT_FALSE(store.InsertEtagDataBatch(Rows(200, "d")));
  EXPECT_EQ(LatestWriteFailure(), u"disk full");
  EXPECT_NE(ErrorLog().find("database or disk is full"), std::string::npos);

  DeliveryJournal journal(store.DbPath(), u"bookmark");
  StructRecord record;
  record.guid = u"g1";
  record.data = WString(8192, u'x');
  EXPECT_FALSE(journal.Record(StructList(), StructList{record}));
  EXPECT_EQ(LatestWriteFailure(), u"disk full");
  EXPECT_NE(ErrorLog().find("DeliveryJournal: cannot write"), std::string::npos);
  EXPECT_TRUE(journal.Clear());
  disk.FreeSpace();
  EXPECT_TRUE(store.InsertEtagDataBatch(Rows(200, "d")));

  ASSERT_TRUE(disk.Remount(true));
  EXPECT_FALSE(store.InsertEtagDataBatch(Rows(2, "e")));
  EXPECT_EQ(LatestWriteFailure(), u"read-only");
  ASSERT_TRUE(disk.Remount(false));
  EXPECT_TRUE(store.InsertEtagDataBatch(Rows(2, "e")));
  std::vector<EtagItem> read;
  ASSERT_TRUE(store.GetEtagDataItemsByType(read, u"bookmark"));
  EXPECT_EQ(read.size(), 204u);
#endif
}

}  // namespace
}  // namespace quillet
