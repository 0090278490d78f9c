#include "sync/platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sync/platform/platform.h"

namespace quillet {
namespace {

TEST(TextTest, RoundTripsEveryPlane) {
  const std::string utf8 = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80'\"\\;--";  // a é 中 😀
  const WString wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, WString(u"a\u00e9\u4e2d\U0001F600'\"\\;--"));
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(static_cast<const char*>(nullptr)), WString());
}

TEST(TextTest, OtherCharactersAnywhereInLongAsciiRuns) {
  // ASCII goes by blocks of eight bytes or four units: a character of any other kind at
  // every position of runs around those sizes, including a cut or lone surrogate last.
  struct Other {
    WString wide;
    std::string utf8;
  };
  const WString lone(1, static_cast<char16_t>(0xD800));
  const std::vector<Other> others = {{u"\u00e9", "\xC3\xA9"},
                                     {u"\u20ac", "\xE2\x82\xAC"},
                                     {u"\U0001F600", "\xF0\x9F\x98\x80"},
                                     {lone, "\xEF\xBF\xBD"},
                                     {u"\x7f", "\x7f"}};
  for (const Other& other : others) {
    for (size_t length = 0; length <= 19; ++length) {
      for (size_t at = 0; at <= length; ++at) {
        WString wide;
        std::string utf8;
        for (size_t i = 0; i < length; ++i) {
          if (i == at) {
            wide += other.wide;
            utf8 += other.utf8;
          }
          wide.push_back(static_cast<char16_t>(u'a' + i));
          utf8.push_back(static_cast<char>('a' + i));
        }
        if (at == length) {
          wide += other.wide;
          utf8 += other.utf8;
        }
        ASSERT_EQ(WideToUtf8(wide), utf8) << length << " " << at;
        if (other.wide != lone) {
          ASSERT_EQ(Utf8ToWide(utf8), wide) << length << " " << at;
        }
        std::string appended = "x";
        AppendWideAsUtf8(wide.data(), wide.size(), &appended);
        ASSERT_EQ(appended, "x" + utf8);
      }
    }
  }
}

TEST(TextTest, InvalidUtf8BecomesReplacementCharacters) {
  // A lone continuation byte, a truncated sequence before ASCII, an overlong form, an
  // encoded surrogate, a value above U+10FFFF and a cut-off end.
  EXPECT_EQ(Utf8ToWide(std::string("\x80")), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide(std::string("\xE4\xB8"
                                   "A")),
            u"\uFFFDA");
  EXPECT_EQ(Utf8ToWide(std::string("\xC0\xAF")), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToWide(std::string("\xED\xA0\x80")), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide(std::string("\xF4\x90\x80\x80")), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide(std::string("ok\xF0\x9F")), u"ok\uFFFD");
}

TEST(TextTest, LoneSurrogatesBecomeReplacementCharacters) {
  WString lone;
  lone.push_back(0xD800);
  lone.push_back(u'x');
  lone.push_back(0xDC00);
  EXPECT_EQ(WideToUtf8(lone), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

TEST(TextTest, NumbersAndAnsiForm) {
  EXPECT_EQ(ToWide(-2147483647LL - 1), u"-2147483648");
  EXPECT_EQ(ToWide(0), u"0");
#if !defined(_WIN32)  // Windows: CP_ACP and '\\' (platform_win32_test.cc)
  // The narrow code page is UTF-8 here.
  EXPECT_EQ(platform::WideToAnsi(u"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(platform::kPathSeparator, u'/');
#endif
}

TEST(PlatformTest, ExecutablePathNamesThisTestProgram) {
  const std::string exe = platform::WideToAnsi(platform::ExecutablePath());
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(platform::IsAbsolutePath(exe));
  EXPECT_TRUE(platform::PathExists(exe));
  EXPECT_FALSE(platform::IsAbsolutePath("relative/dir"));
}

}  // namespace
}  // namespace quillet
