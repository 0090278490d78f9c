#include "sync/engine/key_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet {
namespace {

std::u16string Key(int i) {
  std::u16string key;
  for (char c : std::to_string(i)) key.push_back(static_cast<char16_t>(c));
  return key;
}

TEST(KeyIndexTest, FirstPositionOfAKeyWinsAndOthersAreAbsent) {
  KeyIndex index;
  EXPECT_EQ(index.Find(u"a"), KeyIndex::kNone);
  EXPECT_EQ(index.Insert(u"a", 0), 0u);
  EXPECT_EQ(index.Insert(u"b", 1), 1u);
  EXPECT_EQ(index.Insert(u"a", 2), 0u);  // a repeated key keeps its first position
  EXPECT_EQ(index.Find(u"a"), 0u);
  EXPECT_EQ(index.Find(u"b"), 1u);
  EXPECT_EQ(index.size(), 2u);
  // Keys that differ only by length, case or an embedded NUL are different keys.
  EXPECT_EQ(index.Insert(std::u16string_view(u"a\0", 2), 3), 3u);
  EXPECT_EQ(index.Insert(u"", 4), 4u);
  EXPECT_EQ(index.Find(u"A"), KeyIndex::kNone);
  EXPECT_EQ(index.Find(u""), 4u);
  EXPECT_EQ(index.Find(u"ab"), KeyIndex::kNone);
}

TEST(KeyIndexTest, GrowsPastItsExpectedSizeWithoutLosingAKey) {
  // Sized for 4, given 50,000: every growth rehashes what is there.
  std::vector<std::u16string> keys;
  for (int i = 0; i < 50000; ++i) keys.push_back(Key(i));
  KeyIndex index(4);
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(index.Insert(keys[i], static_cast<uint32_t>(i)), i);
  }
  EXPECT_EQ(index.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(index.Find(keys[i]), i) << i;
  for (int i = 50000; i < 50100; ++i) EXPECT_EQ(index.Find(Key(i)), KeyIndex::kNone);
  // Inserting them all again changes nothing.
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(index.Insert(keys[i], 7), i);
  EXPECT_EQ(index.size(), keys.size());
}

}  // namespace
}  // namespace quillet
