#include "sync/store/delivery_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "sync/testing/file_modes.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace {

StructRecord Record(const WString& guid, const WString& data) {
  StructRecord record;
  record.guid = guid;
  record.data = data;
  return record;
}

TEST(DeliveryJournalTest, RecordsReadBackExactlyAndTornOrForeignLinesAreSkipped) {
  testing::TempDir dir;
  const WString store = Utf8ToWide(dir.path() + "/Quillet.dat");
  DeliveryJournal journal(store, u"bookmark");
  const WString awkward = u"quote \" backslash \\ tab\t nul\u0001 caf\u00e9 \U0001F600";
  ASSERT_TRUE(journal.Record({Record(u"g1", u"d1")}, {Record(u"g\"2", awkward)}));
  StructList read = journal.Read();
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].guid, u"g1");
  EXPECT_EQ(read[1].guid, u"g\"2");
  EXPECT_EQ(read[1].data, awkward);

  // Another type has its own journal; a later Record replaces the whole journal.
  DeliveryJournal other(store, u"calendar");
  EXPECT_TRUE(other.Read().empty());
  ASSERT_TRUE(journal.Record({}, {Record(u"g3", u"d3")}));
  {
    std::ofstream out(journal.path(), std::ios::app | std::ios::binary);
    out << "not json\n[1,2]\n{\"guid\":7}\n{\"guid\":\"\"}\n{\"guid\":\"g4\",\"guid\":\"g5\"}\n"
        << "{\"guid\":\"g6\"}\n{\"guid\":\"g7\",\"da";
  }
  read = DeliveryJournal(store, u"bookmark").Read();
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].guid, u"g3");
  EXPECT_EQ(read[1].guid, u"g6");  // a line without data still names its record
  EXPECT_EQ(read[1].data, u"");

  EXPECT_TRUE(journal.Clear());
  EXPECT_TRUE(journal.Read().empty());
  EXPECT_TRUE(journal.Clear());  // nothing left to clear is no failure
}

// Within a pass the file is emptied, not removed, between batches; a process that ends
// then leaves an empty journal, which holds nothing in flight. The pass's end removes it.
TEST(DeliveryJournalTest, EmptiedBetweenBatchesAndRemovedAtTheEnd) {
  testing::TempDir dir;
  const WString store = Utf8ToWide(dir.path() + "/Quillet.dat");
  DeliveryJournal journal(store, u"bookmark");
  ASSERT_TRUE(journal.Record({}, {Record(u"g1", u"d1"), Record(u"g2", u"d2")}));
  ASSERT_TRUE(journal.Empty());
  EXPECT_TRUE(std::filesystem::exists(journal.path()));
  EXPECT_TRUE(DeliveryJournal(store, u"bookmark").Read().empty());
  ASSERT_TRUE(journal.Record({}, {Record(u"g3", u"d3")}));
  const StructList read = DeliveryJournal(store, u"bookmark").Read();
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].guid, u"g3");
  ASSERT_TRUE(journal.Empty());
  ASSERT_TRUE(journal.Clear());
  EXPECT_FALSE(std::filesystem::exists(journal.path()));
}

// The journal holds whole records (titles, URLs) and stays after a crash: it is the user's
// alone whatever the umask, and a link planted in its place is neither written nor read.
TEST(DeliveryJournalTest, TheFileIsTheUsersAloneAndNoLinkIsFollowed) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX modes and links";
#endif
  testing::ScopedUmask usual;
  testing::TempDir dir;
  const WString store = Utf8ToWide(dir.path() + "/Quillet.dat");
  DeliveryJournal journal(store, u"bookmark");
  ASSERT_TRUE(journal.Record({}, {Record(u"g1", u"d1")}));
  EXPECT_EQ(testing::ModeOf(journal.path()), 0600);
  ASSERT_TRUE(journal.Clear());

  const std::string victim = dir.path() + "/victim";
  const std::string planted = "{\"guid\":\"planted\",\"data\":\"x\"}\n";
  { std::ofstream(victim, std::ios::binary) << planted; }
  std::filesystem::create_symlink(victim, journal.path());
  EXPECT_TRUE(DeliveryJournal(store, u"bookmark").Read().empty());
  DeliveryJournal again(store, u"bookmark");
  EXPECT_FALSE(again.Record({}, {Record(u"g2", u"d2")}));
  std::ifstream in(victim, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            planted);
}

TEST(DeliveryJournalTest, WithoutAStorePathNothingIsRecorded) {
  DeliveryJournal journal(WString(), u"bookmark");
  EXPECT_FALSE(journal.Record({}, {Record(u"g", u"d")}));
  EXPECT_TRUE(journal.Read().empty());
}

}  // namespace
}  // namespace quillet
