// A download/upload pass test bed: a real store in a temp dir, real logging, the scripted
// test host as the active adapter, and an in-memory cloud.
#ifndef QUILLET_SYNC_TESTING_PASS_FIXTURE_H_
#define QUILLET_SYNC_TESTING_PASS_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "sync/common/records.h"
#include "sync/store/store_records.h"
#include "sync/testing/log_capture.h"
#include "sync/testing/memory_cloud.h"
#include "sync/testing/temp_dir.h"
#include "sync/testing/test_host.h"

namespace quillet {
namespace testing {

class PassTest : public ::testing::Test {
 protected:
  PassTest();
  ~PassTest() override;

  int Download(const WString& currentCtag, int batch);
  int Upload(int batch);

  // luid -> (guid, etag) of the stored rows of "bookmark".
  std::map<WString, std::pair<WString, WString>> Rows() const;
  void AddRow(const WString& luid, const WString& guid, const WString& etag);
  WString StoredCtag() const;
  // Sizes of the (added, modified) lists of each UpdateStructData delivery.
  std::vector<std::pair<int, int>> Deliveries() const;

  TempDir tmp_;
  LogCapture capture_{tmp_.path()};
  TestHost host_;
  MemoryCloud cloud_;
  NetConfig config_;
  std::atomic<bool> stop_{false};
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_PASS_FIXTURE_H_
