// The end-to-end test bed: the reference sync server in-process (serving with the test
// certificate whose CA the library trusts as Cacert.pem beside the test binary) and two
// model devices of one user, each with its own store.
#ifndef QUILLET_SYNC_E2E_E2E_FIXTURE_H_
#define QUILLET_SYNC_E2E_E2E_FIXTURE_H_

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "sync/e2e/model_host.h"
#include "sync/testing/temp_dir.h"
#include "tools/sync_server/sync_server.h"

namespace quillet {
namespace e2e {

inline constexpr char kUser[] = "e2e-user";
inline constexpr char kToken[] = "token-1";

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts (or restarts) the server with these options; certificate and key are filled in.
  void StartServer(syncserver::SyncServerOptions options);

  syncserver::SyncService& service() { return server_->service(); }
  syncserver::SyncServer& server() { return *server_; }
  // guid -> data of the server's bookmark collection.
  std::map<std::string, std::string> ServerRecords();
  // guid -> data of n seeded records.
  std::map<std::string, std::string> Seed(int n, const std::string& prefix = "seed");

  // Both devices hold exactly the server's records, nothing pending, nothing leaked.
  void ExpectConverged();
  void ExpectClean(const ModelDevice& device);

  testing::TempDir dir_;
  int runs_ = 0;
  std::unique_ptr<syncserver::SyncServer> server_;
  std::unique_ptr<ModelDevice> a_;
  std::unique_ptr<ModelDevice> b_;
};

// About 200 bytes of record content, distinct per (tag, n).
std::string RecordData(const std::string& tag, int n);

}  // namespace e2e
}  // namespace quillet

#endif  // QUILLET_SYNC_E2E_E2E_FIXTURE_H_
