#include "sync/net/json_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quillet {
namespace {

// An etag list as the service sends it: 32-digit guids, etags of a revision.
std::string EtagList(size_t records) {
  std::string body = R"({"multistatus":[)";
  for (size_t i = 0; i < records; ++i) {
    if (i != 0) body += ',';
    char guid[33];
    snprintf(guid, sizeof guid, "%016llx%016llx", static_cast<unsigned long long>(i) * 2654435761ull,
             static_cast<unsigned long long>(i));
    body += R"({"guid":")" + std::string(guid) + R"(","props":{"etag":"6f1c2ab9-)" +
            std::to_string(i) + R"("}})";
  }
  return body + "]}";
}

std::string Repeated(const std::string& element, size_t bytes) {
  std::string body = R"({"multistatus":[)";
  while (body.size() < bytes) body += element + ",";
  return body + element + "]}";
}

TEST(DecodeBudgetTest, JunkListsAreRefusedBeforeParsingAndRealListsPass) {
  // Past the constant part of the budget, so only the factor decides.
  constexpr size_t kBytes = size_t{6} << 20;
  for (const char* junk : {"[]", "{}", "0", "\"\""}) {
    SCOPED_TRACE(junk);
    const std::string body = Repeated(junk, kBytes);
    ParsedAnswer parsed;
    ParseOnce(body, parsed);
    EXPECT_FALSE(parsed.complete);
    EXPECT_TRUE(parsed.root.isNull());  // nothing was built
    EXPECT_NE(parsed.errors.find("refused"), std::string::npos) << parsed.errors;
  }
  const std::string real = EtagList(100000);
  ASSERT_GT(real.size(), kBytes);
  EXPECT_LT(EstimateTreeBytes(real, kMaxAnswerDepth), 12 * real.size());
  ParsedAnswer parsed;
  ParseOnce(real, parsed);
  EXPECT_TRUE(parsed.complete) << parsed.errors;
  EXPECT_EQ(parsed.root["multistatus"].size(), 100000u);
}

TEST(DecodeBudgetTest, SmallAnswersPassWhateverTheyHoldAndDepthIsBounded) {
  ParsedAnswer parsed;
  ParseOnce(Repeated("[]", 100000), parsed);
  EXPECT_TRUE(parsed.complete) << parsed.errors;

  std::string deep = R"({"result":{"code":200},"multistatus":[{"props":{"a":)";
  std::string tail = "}}]}";
  for (int depth = 4; depth < kMaxAnswerDepth; ++depth) {
    deep += "[";
    tail = "]" + tail;
  }
  ParseOnce(deep + "1" + tail, parsed);
  EXPECT_TRUE(parsed.complete) << parsed.errors;
  ParseOnce(deep + "[1]" + tail, parsed);
  EXPECT_FALSE(parsed.complete);
  EXPECT_NE(parsed.errors.find("nested deeper"), std::string::npos) << parsed.errors;

  // Brackets and quotes inside strings are text, and a cut string is read to its end.
  EXPECT_GT(EstimateTreeBytes(R"({"a":"[[[[[[[[[[[[[[[[[[[[[[\"]]"})", kMaxAnswerDepth), 0u);
  EXPECT_GT(EstimateTreeBytes(R"({"a":"\)", kMaxAnswerDepth), 0u);
}

}  // namespace
}  // namespace quillet
