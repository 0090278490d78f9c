// Bookmark contents as other clients may write them: escapes, numbers, nested members.
extern "C" {
#include "examples/bookmarks/bookmark_json.h"
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct Read {
  int result = -1;
  std::string title, url;
  bool outputsNull = false;
};

Read ReadJson(const char* json) {
  char* title = reinterpret_cast<char*>(1);
  char* url = reinterpret_cast<char*>(1);
  Read r;
  r.result = bookmark_from_json(json, &title, &url);
  r.outputsNull = title == nullptr && url == nullptr;
  if (title) r.title = title;
  if (url) r.url = url;
  std::free(title);
  std::free(url);
  return r;
}

TEST(BookmarkJson, EscapedSurrogatePairIsOneCharacter) {
  const Read r = ReadJson(R"({"title":"Smile \ud83d\ude00 \u00e9\u4e2d","url":"https://x/\u002f"})");
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.title, "Smile \xF0\x9F\x98\x80 \xC3\xA9\xE4\xB8\xAD");
  EXPECT_EQ(r.url, "https://x//");
}

TEST(BookmarkJson, LoneOrReversedSurrogatesBecomeReplacementCharacters) {
  const Read r = ReadJson(R"({"title":"a\ud83db\ude00c\ude00\ud83d","url":"\ud800"})");
  ASSERT_EQ(r.result, 0);
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(r.title, "a" + fffd + "b" + fffd + "c" + fffd + fffd);
  EXPECT_EQ(r.url, fffd);
}

TEST(BookmarkJson, OtherMembersOfAnyTypeAreIgnored) {
  const Read r = ReadJson(
      R"( { "visits": 3, "score": -1.5e3, "pinned": true, "gone": null,
            "meta": {"title": "not this", "tags": ["a", {"b": [1, 2]}]},
            "title": "Kernel", "url": "https://kernel.org/" } )");
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.title, "Kernel");
  EXPECT_EQ(r.url, "https://kernel.org/");
}

TEST(BookmarkJson, NumbersReadAsWrittenAndMissingOrNullAsEmpty) {
  Read r = ReadJson(R"({"title":12345678901234567890,"url":1e300})");
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.title, "12345678901234567890");
  EXPECT_EQ(r.url, "1e300");
  r = ReadJson(R"({"title":null})");
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.title, "");
  EXPECT_EQ(r.url, "");
}

TEST(BookmarkJson, WhatIsNoBookmarkFailsWithNoOutputs) {
  for (const char* json :
       {"", "{", "[]", "\"text\"", "{\"title\":\"a\",}", "{\"title\":\"a\\q\"}",
        "{\"title\":\"unterminated}", "{\"title\":true}", "{\"url\":{\"a\":1}}",
        "{\"title\":[\"a\"]}", "{\"title\":\"a\"} trailing"}) {
    const Read r = ReadJson(json);
    EXPECT_EQ(r.result, -1) << json;
    EXPECT_TRUE(r.outputsNull) << json;
  }
  const Read r = ReadJson(nullptr);
  EXPECT_EQ(r.result, -1);
  EXPECT_TRUE(r.outputsNull);
}

TEST(BookmarkJson, DeepNestingIsRefusedNotACrash) {
  std::string deep = "{\"title\":\"t\",\"x\":";
  deep += std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_EQ(ReadJson(deep.c_str()).result, -1);
}

TEST(BookmarkJson, WrittenTextsReadBackUnchanged) {
  const std::string title = "Tea \"time\" \\ / \n\t\x01 Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80";
  const std::string url = "https://tea.example/?a=1&b=2";
  char* json = bookmark_to_json(title.c_str(), url.c_str());
  ASSERT_NE(json, nullptr);
  EXPECT_EQ(std::string(json).rfind("{\"title\":", 0), 0u) << json;
  const Read r = ReadJson(json);
  std::free(json);
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(r.title, title);
  EXPECT_EQ(r.url, url);

  json = bookmark_to_json(nullptr, "");
  ASSERT_NE(json, nullptr);
  EXPECT_STREQ(json, R"({"title":"","url":""})");
  std::free(json);
}

}  // namespace
