// Starting and stopping: persistence across restarts, the errors a person starting the
// server must be able to act on, and the standalone program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/sync_server/sync_server.h"
#include "tools/sync_server/test_support.h"

namespace quillet::syncserver {
namespace {

using testing::Reply;
using testing::TempDir;
using testing::TestClient;
using testing::TestOptions;

const SpaceKey kSpace{"u1", "browser"};

TEST(SyncServerPersistenceTest, DataFileKeepsRecordsCtagsAndEtagsAcrossRestarts) {
  TempDir dir;
  SyncServerOptions options = TestOptions();
  options.data_file = dir.path() + "/server.db";
  std::string error;
  std::vector<RecordView> before;
  std::string ctag_before;
  std::string kept_guid;
  {
    SyncServer server(options);
    ASSERT_TRUE(server.Start(&error)) << error;
    TestClient client(server.port());
    Reply added = client.Add("bookmark", {{"L1", "one"}, {"L2", "two"}, {"L3", "three"}},
                             "0123456789abcdef0123456789abcdef");
    ASSERT_EQ(added.status, 200);
    kept_guid = added.body["addrsp"][0]["guid"].asString();
    ASSERT_EQ(client.Update("bookmark", {{kept_guid, "one v2"}}).status, 200);
    ASSERT_EQ(client.Remove("bookmark", {added.body["addrsp"][1]["guid"].asString()}).status, 200);
    before = server.service().Records(kSpace, "bookmark");
    ctag_before = server.service().Ctag(kSpace, "bookmark");

    // The file belongs to one server at a time.
    SyncServerOptions second_options = options;
    SyncServer second(second_options);
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
  }

  SyncServer server(options);
  ASSERT_TRUE(server.Start(&error)) << error;
  std::vector<RecordView> after = server.service().Records(kSpace, "bookmark");
  ASSERT_EQ(after.size(), 2u);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].guid, before[i].guid);
    EXPECT_EQ(after[i].etag, before[i].etag);
    EXPECT_EQ(after[i].data, before[i].data);
    EXPECT_EQ(after[i].props, before[i].props);
  }
  EXPECT_EQ(server.service().Ctag(kSpace, "bookmark"), ctag_before);
  EXPECT_EQ(server.service().FindRecord(kSpace, "bookmark", kept_guid)->data, "one v2");

  // Writing on goes on from the stored revision: no ctag or etag repeats.
  TestClient client(server.port());
  Reply lock = client.Lock();
  ASSERT_EQ(lock.body["multistatus"][0]["props"]["ctag"].asString(), ctag_before);
  Reply added = client.Add("bookmark", {{"L4", "four"}});
  ASSERT_EQ(added.status, 200);
  EXPECT_NE(server.service().Ctag(kSpace, "bookmark"), ctag_before);
  std::string new_etag = added.body["addrsp"][0]["props"]["etag"].asString();
  for (const RecordView& r : before) EXPECT_NE(new_etag, r.etag);

  // An in-memory server starts empty every time.
  SyncServer memory(TestOptions());
  ASSERT_TRUE(memory.Start(&error)) << error;
  memory.service().PutRecord(kSpace, "bookmark", "g", "d");
  ASSERT_TRUE(memory.Start(&error)) << error;
  EXPECT_TRUE(memory.service().Records(kSpace, "bookmark").empty());
}

TEST(SyncServerStartTest, ClearErrorsForBusyPortBadCertificateAndBadDataFile) {
  TempDir dir;
  std::string error;
  SyncServer first(TestOptions());
  ASSERT_TRUE(first.Start(&error)) << error;
  EXPECT_GT(first.port(), 0);
  EXPECT_EQ(first.url(), "https://127.0.0.1:" + std::to_string(first.port()) + "/");

  SyncServerOptions busy = TestOptions();
  busy.port = first.port();
  SyncServer second(busy);
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("port already in use"), std::string::npos) << error;
  EXPECT_FALSE(second.running());

  std::ofstream(dir.path() + "/garbage.pem") << "not a certificate\n";
  SyncServerOptions bad_cert = TestOptions();
  bad_cert.cert_file = dir.path() + "/garbage.pem";
  EXPECT_FALSE(SyncServer(bad_cert).Start(&error));
  EXPECT_NE(error.find("bad certificate"), std::string::npos) << error;

  // A key that belongs to another certificate is as bad as none.
  SyncServerOptions wrong_key = TestOptions();
  wrong_key.key_file = dir.path() + "/other.key";
  ASSERT_EQ(
      std::system(("openssl genrsa -out '" + wrong_key.key_file + "' 2048 2>/dev/null").c_str()),
      0);
  EXPECT_FALSE(SyncServer(wrong_key).Start(&error));
  EXPECT_NE(error.find("bad certificate"), std::string::npos) << error;

  SyncServerOptions missing = TestOptions();
  missing.key_file = dir.path() + "/nowhere.key";
  EXPECT_FALSE(SyncServer(missing).Start(&error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;

  std::ofstream(dir.path() + "/not.db") << std::string(4096, 'x');
  SyncServerOptions bad_data = TestOptions();
  bad_data.data_file = dir.path() + "/not.db";
  EXPECT_FALSE(SyncServer(bad_data).Start(&error));
  EXPECT_NE(error.find("not.db"), std::string::npos) << error;

  // The first server is unharmed by all of this.
  TestClient client(first.port());
  EXPECT_EQ(client.Lock().status, 200);
}

std::string ReadAll(FILE* f) {
  std::string out;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  return out;
}

TEST(SyncServerProgramTest, ServesOnTheChosenPortAndStopsOnSigterm) {
  TempDir dir;
  std::string port_file = dir.path() + "/port";
  std::string out_file = dir.path() + "/out";
  std::string stats_file = dir.path() + "/stats";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::string cert = testing::CertDir() + "/server.pem";
    std::string key = testing::CertDir() + "/server.key";
    std::string data = dir.path() + "/data.db";
    if (!freopen(out_file.c_str(), "w", stdout)) _exit(99);
    execl(QUILLET_SYNC_SERVER_BIN, "quillet_sync_server", "--cert", cert.c_str(), "--key",
          key.c_str(), "--port", "0", "--data", data.c_str(), "--interval", "7",
          "--collection-limit", "bookmark=1", "--expired-token", "dead", "--port-file",
          port_file.c_str(), "--stats", stats_file.c_str(), static_cast<char*>(nullptr));
    _exit(98);
  }
  int port = 0;
  for (int i = 0; i < 500 && port == 0; ++i) {
    std::ifstream in(port_file);
    if (!(in >> port)) {
      port = 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ASSERT_GT(port, 0);
  TestClient client(port);
  Reply lock = client.Lock();
  EXPECT_EQ(lock.status, 200);
  EXPECT_EQ(lock.body["interval"].asInt(), 7);
  EXPECT_EQ(client.Add("bookmark", {{"L1", "D"}, {"L2", "D"}}).status, kCodeBookmarkLimit);
  client.set_token("dead");
  EXPECT_EQ(client.QueryCtag().status, kCodeTokenExpired);

  // SIGUSR1 asks for the counts so far (a request refused with 402 was still served).
  const std::string expected_counts =
      "connections 3\nresumed 0\nrequests LOCK 1\nrequests POST 1\nrequests PROPFIND 1\n";
  ASSERT_EQ(kill(pid, SIGUSR1), 0);
  std::string stats;
  for (int i = 0; i < 500 && stats.find("snapshot 1\n") != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(stats_file);
    std::stringstream text;
    text << in.rdbuf();
    stats = text.str();
  }
  EXPECT_EQ(stats, "snapshot 1\n" + expected_counts);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  {
    std::ifstream in(stats_file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "snapshot 2\n" + expected_counts);  // and once more at exit
  }
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream out(out_file);
  std::stringstream text;
  text << out.rdbuf();
  EXPECT_NE(text.str().find("listening on https://127.0.0.1:" + std::to_string(port) + "/"),
            std::string::npos)
      << text.str();

  // Started again on the now known port, while something else holds it: a clear error.
  SyncServerOptions holder_options = TestOptions();
  holder_options.port = port;
  SyncServer holder(holder_options);
  std::string error;
  ASSERT_TRUE(holder.Start(&error)) << error;
  std::string command = std::string(QUILLET_SYNC_SERVER_BIN) + " --cert " + testing::CertDir() +
                        "/server.pem --key " + testing::CertDir() + "/server.key --port " +
                        std::to_string(port) + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string message = ReadAll(p);
  int rc = pclose(p);
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  EXPECT_NE(message.find("port already in use"), std::string::npos) << message;

  p = popen((std::string(QUILLET_SYNC_SERVER_BIN) + " --port 80000 --cert a --key b 2>&1").c_str(),
            "r");
  ASSERT_NE(p, nullptr);
  message = ReadAll(p);
  EXPECT_EQ(WEXITSTATUS(pclose(p)), 2);
  EXPECT_NE(message.find("--port"), std::string::npos) << message;
}

}  // namespace
}  // namespace quillet::syncserver
