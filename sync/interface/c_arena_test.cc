#include "sync/interface/c_arena.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet {
namespace {

// Every text handed out stays intact while later ones fill and overflow the arena's blocks,
// whatever its characters: ASCII, two- and three-byte ones, pairs and lone surrogates.
TEST(CArenaTest, TextsStayValidAcrossBlocksAndConvertLikeWideToUtf8) {
  CArena arena;
  std::vector<WString> texts = {u"", u"plain", u"caf\u00e9 \u4e2d", u"\U0001F600 pair",
                                WString(1, char16_t(0xD800)) + u"lone", WString(70000, u'\u4e2d'),
                                WString(1, char16_t(0xDC00))};
  for (int i = 0; i < 3000; ++i) texts.push_back(u"record " + ToWide(i) + WString(i % 50, u'x'));
  std::vector<const char*> copies;
  for (const WString& text : texts) copies.push_back(arena.Text(text));
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(std::string(copies[i]), WideToUtf8(texts[i])) << i;
  }
}

}  // namespace
}  // namespace quillet
