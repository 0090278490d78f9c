#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "sync/net/net_test_support.h"
#include "sync/platform/system_info.h"

namespace quillet {
namespace platform {
namespace {

using quillet::testing::ScopedEnv;
using quillet::testing::TempDir;

WString ReadFrom(const std::string& dir, int* result) {
  char16_t buffer[kSerialBufferUnits];
  buffer[0] = u'?';
  *result = ReadBiosSerialNumberFrom(dir, buffer);
  return WString(buffer);
}

void WriteSerial(const TempDir& dir, const std::string& bytes) {
  std::ofstream(dir / "product_serial", std::ios::binary) << bytes;
}

TEST(SystemInfoTest, SerialLosesItsBlanksButKeepsOtherWhiteSpace) {
  TempDir dir;
  int result = 0;
  WriteSerial(dir, " 12 34 \n");
  EXPECT_EQ(u"1234", ReadFrom(dir.path(), &result));
  EXPECT_EQ(kSerialOk, result);
  WriteSerial(dir, "A\tB C\n");
  EXPECT_EQ(u"A\tBC", ReadFrom(dir.path(), &result));
  WriteSerial(dir, "   ");
  EXPECT_EQ(u"", ReadFrom(dir.path(), &result));  // empty still counts as read
  EXPECT_EQ(kSerialOk, result);
}

TEST(SystemInfoTest, LongSerialIsCutTo127UnitsBeforeBlanksGo) {
  TempDir dir;
  int result = 0;
  WriteSerial(dir, std::string(100, 'x') + std::string(20, ' ') + std::string(80, 'y'));
  EXPECT_EQ(WString(100, u'x') + WString(7, u'y'), ReadFrom(dir.path(), &result));
  WriteSerial(dir, std::string(200, 'z'));
  EXPECT_EQ(WString(127, u'z'), ReadFrom(dir.path(), &result));
}

TEST(SystemInfoTest, MissingSourcesGiveTheirCodes) {
  TempDir dir;
  int result = 0;
  EXPECT_EQ(u"", ReadFrom(dir / "absent", &result));
  EXPECT_EQ(kSerialNoSource, result);
  EXPECT_EQ(u"", ReadFrom(dir.path(), &result));
  EXPECT_EQ(kSerialNotFound, result);
  EXPECT_EQ(kSerialNoSource, ReadBiosSerialNumberFrom(dir.path(), nullptr));
}

TEST(SystemInfoTest, LanguageComesFromTheFirstSetLocaleVariable) {
  ScopedEnv language("LANGUAGE", std::nullopt);
  ScopedEnv all("LC_ALL", std::nullopt);
  ScopedEnv messages("LC_MESSAGES", std::nullopt);
  ScopedEnv lang("LANG", std::nullopt);
  EXPECT_EQ(u"en-US", PreferredUiLanguage());
  setenv("LANG", "de_DE.UTF-8@euro", 1);
  EXPECT_EQ(u"de-DE", PreferredUiLanguage());
  setenv("LC_MESSAGES", "C", 1);
  EXPECT_EQ(u"en-US", PreferredUiLanguage());
  setenv("LC_ALL", "pt_BR", 1);
  EXPECT_EQ(u"pt-BR", PreferredUiLanguage());
  setenv("LANGUAGE", "fr_CA:en_US", 1);
  EXPECT_EQ(u"fr-CA", PreferredUiLanguage());
  setenv("LANGUAGE", "", 1);
  EXPECT_EQ(u"pt-BR", PreferredUiLanguage());
}

TEST(SystemInfoTest, ProxyIsTheFirstSetHttpsProxyVariable) {
  ScopedEnv lower("https_proxy", std::nullopt);
  ScopedEnv upper("HTTPS_PROXY", std::nullopt);
  EXPECT_EQ("", ManualProxy());
  setenv("HTTPS_PROXY", "http://upper:1", 1);
  EXPECT_EQ("http://upper:1", ManualProxy());
  setenv("https_proxy", "lower:2", 1);
  EXPECT_EQ("lower:2", ManualProxy());
  setenv("https_proxy", "", 1);
  EXPECT_EQ("http://upper:1", ManualProxy());
}

}  // namespace
}  // namespace platform
}  // namespace quillet
