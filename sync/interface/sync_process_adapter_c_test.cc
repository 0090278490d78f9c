#include "sync/interface/sync_process_adapter_c.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "sync/log/logger.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/temp_dir.h"
#include "sync/testing/test_host.h"

namespace quillet {
namespace {

using ::testing::ElementsAre;
using testing::FieldMap;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::TempDir;
using testing::TestHost;

class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(InitLogger(Utf8ToWide(logs_.path()))); }
  void TearDown() override {
    EXPECT_EQ(host_.OutstandingArrays(), 0u) << "a host array was not freed";
    EXPECT_THAT(host_.FreeErrors(), IsEmpty());
  }

  TempDir logs_;
  LogCapture capture_{logs_.path()};
  TestHost host_;
  SyncProcessAdapter_c adapter_{host_.Callbacks()};
};

TEST_F(AdapterTest, DownloadStartCountsMissingKeysAsZero) {
  adapter_.OnDownloadSyncStart(u"bookmark", {{u"cloudAdd", 3}});
  adapter_.OnDownloadSyncStart(u"bookmark", {{u"cloudDelete", 7}, {u"cloudModify", 5}});
  const auto calls = host_.CallsOf("OnDownloadSyncStart");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_THAT(calls[0].numbers, ElementsAre(3, 0, 0));
  EXPECT_THAT(calls[1].numbers, ElementsAre(0, 5, 7));
  EXPECT_EQ(calls[0].texts[0], "bookmark");
}

TEST_F(AdapterTest, StructuredRecordsCrossFieldForFieldBothWays) {
  StructRecord added;
  added.luid = u"l'1";
  added.textA = u"A";
  added.guid = u"g\u00e9";
  added.etag = u"e";
  added.numberA = 4;
  added.textC = u"C";
  added.textD = u"D";
  added.data = u"{\"k\":\"\u4e2d\"}";
  added.numberB = 9;
  added.numberC = -1;
  added.filesB = {{u"1", u"2", u"3", u"4"}, {u"5", u"6", u"7", u"8"}};
  StructRecord modified;  // library defaults
  host_.updateAnswer.items = {{"l1", "g1", 1}, {"", "g2", 0}};

  const auto results = adapter_.UpdateStructData(u"bookmark", {added}, {modified, modified});

  const auto calls = host_.CallsOf("UpdateStructData");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].texts[1], "preset") << "out-parameters must be null and 0 before the call";
  EXPECT_THAT(calls[0].numbers, ElementsAre(1, 2));
  const FieldMap& a = calls[0].records[0][0];
  EXPECT_EQ(a.at("luid"), "l'1");
  EXPECT_EQ(a.at("guid"), "g\xC3\xA9");
  EXPECT_EQ(a.at("data"), "{\"k\":\"\xE4\xB8\xAD\"}");
  EXPECT_EQ(a.at("numberA"), "4");
  EXPECT_EQ(a.at("numberB"), "9");
  EXPECT_EQ(a.at("numberC"), "-1");
  EXPECT_EQ(a.at("textD"), "D");
  EXPECT_EQ(a.at("filesA"), "");
  EXPECT_EQ(a.at("filesB"), "1|2|3|4;5|6|7|8");
  const FieldMap& m = calls[0].records[1][1];
  EXPECT_EQ(m.at("luid"), "");
  EXPECT_EQ(m.at("numberA"), "0");
  EXPECT_EQ(m.at("numberB"), "2");

  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].luid, u"l1");
  EXPECT_EQ(results[0].guid, u"g1");
  EXPECT_EQ(results[0].numberA, 1);
  EXPECT_EQ(host_.CallsOf("FreeUpdateStructDataResult").size(), 1u);
}

TEST_F(AdapterTest, NullResultWithCountIsLoggedEmptyAndNeverFreed) {
  host_.deleteAnswer.nullPointer = true;
  host_.deleteAnswer.nullCount = 2;
  host_.updateAnswer.nullPointer = true;
  host_.updateAnswer.nullCount = 1;
  host_.localIdAnswer.nullPointer = true;
  host_.localIdAnswer.nullCount = 5;
  host_.queryAnswer.nullPointer = true;
  host_.queryAnswer.nullCount = 3;

  EXPECT_THAT(adapter_.DeleteData(u"bookmark", {u"1", u"2"}), IsEmpty());
  EXPECT_THAT(adapter_.UpdateStructData(u"bookmark", {StructRecord()}, {}), IsEmpty());
  EXPECT_THAT(adapter_.QueryLocalIds(u"bookmark", 1), IsEmpty());
  EXPECT_THAT(adapter_.DataQueryByID(u"bookmark", {u"1"}), IsEmpty());

  const auto errors = capture_.Error();
  EXPECT_TRUE(LogCapture::Has(
      errors, "DeleteData error: cResultList is nullptr, but resultListSize size is2!"));
  EXPECT_TRUE(LogCapture::Has(errors,
                              "UpdateStructData error: updateResultList is nullptr, but "
                              "updateResultListSize size is1!"));
  EXPECT_TRUE(LogCapture::Has(
      errors, "QueryLocalIds error: cLocalIdList is nullptr, but localIdListSize size is5!"));
  EXPECT_TRUE(LogCapture::Has(errors,
                              "DataQueryByID error: cQueryResultList is nullptr, but "
                              "queryResultListSize size is3!"));
  for (const char* free : {"FreeDeleteDataResult", "FreeUpdateStructDataResult", "FreeLocalIdList",
                           "FreeQueryResultList"}) {
    EXPECT_THAT(host_.CallsOf(free), IsEmpty()) << free;
  }
}

TEST_F(AdapterTest, AnIdListThatIsNotOneIsToldApartFromAnEmptyOne) {
  std::vector<LocalIdRecord> ids;
  host_.localIdAnswer.nullPointer = true;
  host_.localIdAnswer.nullCount = 5;
  EXPECT_FALSE(adapter_.QueryLocalIdList(u"bookmark", 1, ids));
  EXPECT_THAT(ids, IsEmpty());
  host_.localIdAnswer.nullCount = 0;
  EXPECT_TRUE(adapter_.QueryLocalIdList(u"bookmark", 1, ids));
  EXPECT_THAT(ids, IsEmpty());
}

TEST_F(AdapterTest, NullResultWithZeroCountIsSilent) {
  EXPECT_THAT(adapter_.DeleteData(u"bookmark", {}), IsEmpty());
  EXPECT_THAT(capture_.Error(), IsEmpty());
  const auto calls = host_.CallsOf("DeleteData");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0].numbers, ElementsAre(0));  // an empty list goes as null and 0
  EXPECT_THAT(host_.CallsOf("FreeDeleteDataResult"), IsEmpty());
}

TEST_F(AdapterTest, NonNullResultWithZeroCountIsFreedOnce) {
  host_.queryAnswer.items = {{"1", "d", "", {}}};
  host_.queryAnswer.zeroCount = true;
  EXPECT_THAT(adapter_.DataQueryByID(u"bookmark", {u"1"}), IsEmpty());
  const auto frees = host_.CallsOf("FreeQueryResultList");
  ASSERT_EQ(frees.size(), 1u);
  EXPECT_THAT(frees[0].numbers, ElementsAre(0));
}

TEST_F(AdapterTest, QueryResultsAndLocalIdsConvertWithNestedFiles) {
  host_.queryAnswer.items = {{"7", "payload", "ta", {{"a", "b", "c", "d"}}}};
  host_.localIdAnswer.items = {{"7", 1, 2, 3}, {"8", 0, 0, 0}};
  const auto rows = adapter_.DataQueryByID(u"bookmark", {u"7", u"x\"y"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].luid, u"7");
  EXPECT_EQ(rows[0].data, u"payload");
  EXPECT_EQ(rows[0].textA, u"ta");
  ASSERT_EQ(rows[0].files.size(), 1u);
  EXPECT_EQ(rows[0].files[0].itemD, u"d");
  EXPECT_THAT(host_.CallsOf("DataQueryByID")[0].textLists[0], ElementsAre("7", "x\"y"));

  const auto ids = adapter_.QueryLocalIds(u"bookmark", 1);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0].luid, u"7");
  EXPECT_EQ(ids[0].state, 1);
  EXPECT_EQ(ids[0].valueB, 2);
  EXPECT_EQ(ids[0].valueC, 3);
  EXPECT_THAT(host_.CallsOf("QueryLocalIds")[0].numbers, ElementsAre(1));
}

TEST_F(AdapterTest, GetNewAtAlwaysFreesWhatTheHostLeft) {
  EXPECT_EQ(adapter_.GetNewAT(), u"");
  host_.token = "new token \xC3\xA9";
  EXPECT_EQ(adapter_.GetNewAT(), u"new token \u00e9");
  EXPECT_THAT(host_.EntryNames(), ElementsAre("GetNewAT", "FreeAT", "GetNewAT", "FreeAT"));
  const auto frees = host_.CallsOf("FreeAT");
  EXPECT_EQ(frees[0].texts[0], "<null>");
  EXPECT_EQ(frees[1].texts[0], "new token \xC3\xA9");
  EXPECT_EQ(host_.CallsOf("GetNewAT")[0].texts[0], "preset");
}

TEST_F(AdapterTest, ReportEventPassesPairsInKeyOrder) {
  adapter_.ReportEvent(1, u"LOCK",
                       {{u"syncInfo", u"ok"}, {u"business_id", u"LOCK"}, {u"returnCode", u"0"}});
  adapter_.ReportEvent(1, u"empty", {});
  const auto calls = host_.CallsOf("ReportEvent");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].texts[0], "LOCK");
  EXPECT_THAT(calls[0].numbers, ElementsAre(1, 3));
  using Pair = std::pair<std::string, std::string>;
  EXPECT_THAT(calls[0].pairs, ElementsAre(Pair("business_id", "LOCK"), Pair("returnCode", "0"),
                                          Pair("syncInfo", "ok")));
  EXPECT_THAT(calls[1].numbers, ElementsAre(1, 0));
}

TEST_F(AdapterTest, UploadResultsCarryDeletedGuidsAndKeyedLists) {
  StructRecord done;
  done.luid = u"1";
  done.etag = u"e1";
  adapter_.UpdateSyncResult(u"bookmark", {done}, {}, {u"g9", u"g8"},
                            {{u"b", {u"x", u"y"}}, {u"a", {}}});
  adapter_.OnUploadSyncStart(u"bookmark");
  adapter_.OnDataSyncEnd(u"bookmark", 2027);
  adapter_.OnSyncEnd();
  const auto calls = host_.CallsOf("UpdateSyncResult");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0].numbers, ElementsAre(1, 0, 2, 2));
  EXPECT_THAT(calls[0].textLists[0], ElementsAre("g9", "g8"));
  EXPECT_EQ(calls[0].records[0][0].at("etag"), "e1");
  ASSERT_EQ(calls[0].records[2].size(), 2u);
  EXPECT_EQ(calls[0].records[2][0].at("key"), "a");
  EXPECT_EQ(calls[0].records[2][0].at("values"), "");
  EXPECT_EQ(calls[0].records[2][1].at("values"), "x;y;");
  EXPECT_THAT(host_.CallsOf("OnDataSyncEnd")[0].numbers, ElementsAre(2027));
  EXPECT_EQ(host_.CallsOf("OnSyncEnd").size(), 1u);
}

// The host may never return (it crashes, or the user ends it): whatever the library logged
// before calling it is already in the files when it is called.
TEST_F(AdapterTest, EveryCallIntoTheHostFindsTheLinesBeforeItOnDisk) {
  const std::string infoFile = logs_.path() + "/Quillet/Quillet_info.log";
  std::vector<std::string> missing;
  int line = 0;
  host_.onCall = [&](const testing::HostCall& call) {
    if (call.entry.rfind("Free", 0) == 0) return;
    std::ifstream in(infoFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // Windows line ends
    if (text.find("[t]before " + std::to_string(line) + "\n") == std::string::npos) {
      missing.push_back(call.entry);
    }
  };
  const auto before = [&] { LogInfo(u"[t]before ", ToWide(++line)); };
  before();
  adapter_.OnDownloadSyncStart(u"bookmark", {});
  before();
  adapter_.OnUploadSyncStart(u"bookmark");
  before();
  adapter_.UpdateStructData(u"bookmark", {}, {});
  before();
  adapter_.DeleteData(u"bookmark", {u"l1"});
  before();
  adapter_.QueryLocalIds(u"bookmark", 0);
  before();
  adapter_.DataQueryByID(u"bookmark", {u"l1"});
  before();
  adapter_.UpdateSyncResult(u"bookmark", {}, {}, {}, {});
  before();
  adapter_.OnDataSyncEnd(u"bookmark", 0);
  before();
  adapter_.OnSyncEnd();
  EXPECT_THAT(missing, IsEmpty());
  EXPECT_GE(host_.CallsOf("OnSyncEnd").size(), 1u);
}

TEST(ConvertWString2ArrayTest, ReplacesTheBufferWithATerminatedCopy) {
  std::unique_ptr<char[]> buffer;
  ConvertWString2Array(u"first", &buffer);
  EXPECT_STREQ(buffer.get(), "first");
  ConvertWString2Array(u"\u00e9", &buffer);
  EXPECT_STREQ(buffer.get(), "\xC3\xA9");
  ConvertWString2Array(u"", &buffer);
  EXPECT_STREQ(buffer.get(), "");
}

}  // namespace
}  // namespace quillet
