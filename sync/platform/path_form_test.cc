#include "sync/platform/path_form.h"

#include <gtest/gtest.h>

namespace quillet {
namespace platform {
namespace {

constexpr PathStyle kWin = PathStyle::kWindows;

TEST(PathFormTest, WindowsSeparatorsEitherWayBecomeOneBackslash) {
  EXPECT_EQ(NormalisePath(u"C:/qb/plain/p1", kWin), u"C:\\qb\\plain\\p1");
  EXPECT_EQ(NormalisePath(u"C:\\qb/mixed\\p2", kWin), u"C:\\qb\\mixed\\p2");
  EXPECT_EQ(NormalisePath(u"C:/qb//double\\/p/", kWin), u"C:\\qb\\double\\p\\");
  // The two that begin a UNC path are its mark, not a run; a third joins them.
  EXPECT_EQ(NormalisePath(u"//server/share/x", kWin), u"\\\\server\\share\\x");
  EXPECT_EQ(NormalisePath(u"\\\\\\server\\share", kWin), u"\\\\server\\share");
  EXPECT_EQ(NormalisePath(u"", kWin), u"");
}

TEST(PathFormTest, VerbatimPrefixIsKeptAndNotDoubled) {
  const WString verbatim = u"\\\\?\\C:\\qb\\p";
  EXPECT_EQ(NormalisePath(verbatim, kWin), verbatim);
  EXPECT_EQ(NormalisePath(u"\\\\?\\C:/qb/p", kWin), verbatim);
  EXPECT_TRUE(IsVerbatimPath(verbatim));
  EXPECT_TRUE(IsVerbatimPath(u"\\\\.\\pipe\\x"));
  EXPECT_FALSE(IsVerbatimPath(u"\\\\server\\share"));
  // Long or not, it is handed on as it is.
  const WString longVerbatim = verbatim + WString(300, u'a');
  EXPECT_EQ(LongPathForm(longVerbatim, kWin), longVerbatim);
}

TEST(PathFormTest, NonBmpCharactersKeepTheirSurrogatePairs) {
  // U+1F600 and U+8336 between both kinds of separators.
  const WString emoji = u"C:/qb/\U0001F600 profile/\u8336/p6";
  const WString normal = NormalisePath(emoji, kWin);
  EXPECT_EQ(normal, u"C:\\qb\\\U0001F600 profile\\\u8336\\p6");
  EXPECT_EQ(WideToUtf8(normal), "C:\\qb\\\xF0\x9F\x98\x80 profile\\\xE8\x8C\xB6\\p6");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(normal)), normal);
  // The limit counts UTF-16 units as Windows does: 124 emoji are 248 units.
  const WString root = u"C:\\";
  WString deep = root;
  for (int i = 0; i < 123; ++i) deep += u"\U0001F600";
  deep += u"a";
  ASSERT_EQ(deep.size(), 3u + 123 * 2 + 1);  // 250 units, 127 characters
  EXPECT_EQ(LongPathForm(deep, kWin), u"\\\\?\\" + deep);
  EXPECT_EQ(LongPathForm(deep.substr(0, 247), kWin), deep.substr(0, 247));
}

TEST(PathFormTest, RootsOfEveryKind) {
  EXPECT_EQ(RootLength(WString(u"C:\\qb\\p"), kWin), 3u);
  EXPECT_EQ(RootLength(WString(u"\\\\server\\share\\x"), kWin), 15u);
  EXPECT_EQ(RootLength(WString(u"\\\\server\\share"), kWin), 14u);
  EXPECT_EQ(RootLength(WString(u"\\\\?\\C:\\x"), kWin), 7u);
  EXPECT_EQ(RootLength(WString(u"\\\\?\\unc\\server\\share\\x"), kWin), 21u);
  EXPECT_EQ(RootLength(WString(u"\\x"), kWin), 1u);
  EXPECT_EQ(RootLength(WString(u"qb\\p"), kWin), 0u);
  EXPECT_EQ(RootLength(WString(u"C:qb"), kWin), 0u);  // drive-relative
  // The narrow form measures the same: roots are ASCII.
  EXPECT_EQ(RootLength(std::string("\\\\?\\C:\\x"), kWin), 7u);
  EXPECT_EQ(RootLength(std::string("/home/u"), PathStyle::kPosix), 1u);
  EXPECT_EQ(RootLength(std::string("home/u"), PathStyle::kPosix), 0u);
}

TEST(PathFormTest, LongPathsGetThePrefixWithDotsResolved) {
  const WString part = u"\\a folder of forty characters, give or take";
  WString deep = u"C:";
  while (deep.size() < 300) deep += part;
  EXPECT_EQ(LongPathForm(deep, kWin), u"\\\\?\\" + deep);
  // "\\?\" turns off Windows' own resolution of "." and "..".
  EXPECT_EQ(LongPathForm(deep + u"\\.\\x\\..\\y\\", kWin), u"\\\\?\\" + deep + u"\\y\\");
  EXPECT_EQ(LongPathForm(u"C:\\..\\..\\" + deep.substr(3), kWin), u"\\\\?\\" + deep);
  // A share keeps its server and share name behind "UNC".
  const WString share = u"\\\\server\\share" + deep.substr(2);
  EXPECT_EQ(LongPathForm(share, kWin), u"\\\\?\\UNC\\server\\share" + deep.substr(2));
  // Only Windows knows what a relative or drive-less path names.
  EXPECT_EQ(LongPathForm(deep.substr(3), kWin), deep.substr(3));
  EXPECT_EQ(LongPathForm(deep.substr(2), kWin), deep.substr(2));
  EXPECT_EQ(LongPathForm(u"C:\\short", kWin), u"C:\\short");
}

TEST(PathFormTest, PosixPathsStayAsTheyAre) {
  // A backslash is a character of a name here, and no prefix exists.
  const WString path = u"/home/u/back\\slash//x";
  EXPECT_EQ(NormalisePath(path, PathStyle::kPosix), path);
  const WString deep = u"/" + WString(400, u'a');
  EXPECT_EQ(LongPathForm(deep, PathStyle::kPosix), deep);
}

}  // namespace
}  // namespace platform
}  // namespace quillet
