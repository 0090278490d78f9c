#include "sync/e2e/e2e_fixture.h"

#include <gmock/gmock.h>

#include "sync/testing/https_test_server.h"

namespace quillet {
namespace e2e {

std::string RecordData(const std::string& tag, int n) {
  std::string data = "{\"title\":\"" + tag + " " + std::to_string(n) + "\",\"url\":\"https://" +
                     tag + ".example/" + std::to_string(n) + "\",\"note\":\"";
  while (data.size() < 190) data += "abcdefghij";
  return data + "\"}";
}

namespace {
// The test server's certificate and key: named by the build natively; on Windows beside
// the test program, wherever it was copied to.
std::string CertDir() {
#if defined(QUILLET_E2E_CERT_DIR)
  return QUILLET_E2E_CERT_DIR;
#else
  return testing::ExecutableDirectory() + "/test_certs";
#endif
}
}  // namespace

void E2eTest::SetUp() { StartServer(syncserver::SyncServerOptions()); }

void E2eTest::StartServer(syncserver::SyncServerOptions options) {
  a_.reset();
  b_.reset();
  server_.reset();
  options.cert_file = CertDir() + "/server.pem";
  options.key_file = CertDir() + "/server.key";
  server_ = std::make_unique<syncserver::SyncServer>(options);
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
  // Fresh stores for every server: old etag rows would name records this one never had.
  const std::string base = dir_ / ("run" + std::to_string(++runs_));
  a_ = std::make_unique<ModelDevice>("a", base, server_->url(), kUser, kToken);
  b_ = std::make_unique<ModelDevice>("b", base, server_->url(), kUser, kToken);
}

void E2eTest::TearDown() {
  // Devices first (the last active one drops the library's sessions), then the server.
  a_.reset();
  b_.reset();
  server_.reset();
}

std::map<std::string, std::string> E2eTest::ServerRecords() {
  std::map<std::string, std::string> out;
  for (const auto& record : service().Records({kUser, kSyncType}, kDataType)) {
    out[record.guid] = record.data;
  }
  return out;
}

std::map<std::string, std::string> E2eTest::Seed(int n, const std::string& prefix) {
  std::map<std::string, std::string> seeded;
  for (int i = 0; i < n; ++i) {
    const std::string guid = prefix + "-" + std::to_string(i);
    const std::string data = RecordData(prefix, i);
    EXPECT_FALSE(service().PutRecord({kUser, kSyncType}, kDataType, guid, data).empty());
    seeded[guid] = data;
  }
  return seeded;
}

void E2eTest::ExpectClean(const ModelDevice& device) {
  EXPECT_THAT(device.Problems(), ::testing::IsEmpty());
  EXPECT_EQ(device.OutstandingArrays(), 0u) << device.name();
  EXPECT_THAT(device.FreeErrors(), ::testing::IsEmpty()) << device.name();
}

void E2eTest::ExpectConverged() {
  const auto server = ServerRecords();
  EXPECT_EQ(a_->ByGuid(), server) << "device a differs from the server";
  EXPECT_EQ(b_->ByGuid(), server) << "device b differs from the server";
  ExpectClean(*a_);
  ExpectClean(*b_);
}

}  // namespace e2e
}  // namespace quillet
