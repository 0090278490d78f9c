// Randomized network chaos: two devices of one user, each in its own process (the library
// keeps one session per sync type in a process), make random adds, edits and removes and
// sync at random moments, often at the same time, through a fault proxy that stalls,
// trickles, cuts connections and drops answers at random. Then the network heals and clean
// rounds follow: both devices and the server hold the same records, no record twice,
// nothing pending, nothing removed come back.
//
// The second device is this test program started again, running only the hidden test
// NetworkChaosChild.SecondDevice, which does nothing unless QUILLET_CHAOS_CHILD names the
// folder of a run. Seeds: kSeeds below, one test each; more through QUILLET_CHAOS_SEEDS.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "sync/e2e/e2e_fixture.h"
#include "sync/net/base_net_interface.h"
#include "sync/testing/fault_proxy.h"

namespace quillet {
namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::FaultProxy;

constexpr unsigned kSeeds[] = {11u, 2024u, 777001u};
constexpr int kSteps = 25;
constexpr char kChildVariable[] = "QUILLET_CHAOS_CHILD";

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

void Touch(const std::string& path) { std::ofstream(path) << "1\n"; }

bool WaitForFile(const std::string& path, std::chrono::seconds limit) {
  const auto until = steady_clock::now() + limit;
  while (!Exists(path)) {
    if (steady_clock::now() > until) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// Deadlines short enough that a fault costs seconds, not minutes; both processes use them.
void ShortDeadlines() {
  BaseNetInterface::SetDeadlinesForTesting(2000, 1500, 1024);
  BaseNetInterface::SetTransferLimitsForTesting(2000, 2);
}

void RestoreDeadlines() {
  BaseNetInterface::SetDeadlinesForTesting(0, 0, 0);
  BaseNetInterface::SetTransferLimitsForTesting(BaseNetInterface::kConnectTimeoutMs,
                                                BaseNetInterface::kStallSeconds);
}

// One device's random life: edits, and rounds at random moments. Records the data of
// every settled record it removed.
std::map<int, int> Live(ModelDevice& device, unsigned seed, std::set<std::string>* removed) {
  std::map<int, int> codes;
  std::mt19937 rng(seed);
  int serial = 0;
  for (int step = 0; step < kSteps; ++step) {
    for (int n = std::uniform_int_distribution<int>(0, 4)(rng); n > 0; --n) {
      const auto records = device.Records();
      const int choice = std::uniform_int_distribution<int>(0, 9)(rng);
      if (records.empty() || choice < 5) {
        device.Add(device.name() + "-add-" + std::to_string(serial++));
        continue;
      }
      auto it = records.begin();
      std::advance(it, std::uniform_int_distribution<size_t>(0, records.size() - 1)(rng));
      if (choice < 8) {
        device.Modify(it->first, device.name() + "-mod-" + std::to_string(serial++));
      } else if (device.Remove(it->first) && it->second.state == 0 && !it->second.guid.empty()) {
        // Only a settled record's removal must hold. A record whose last upload is still
        // in doubt (its answer was lost) may be in the cloud under a guid the device never
        // learnt, or with an edit it never saw confirmed; removed before the next round
        // settles it, it comes down again: a known limit, not checked here.
        removed->insert(it->second.data);
      }
    }
    device.keepLocalEdits = std::bernoulli_distribution(0.3)(rng);
    if (std::bernoulli_distribution(0.7)(rng)) {
      ++codes[device.Sync(std::uniform_int_distribution<int>(1, 7)(rng))];  // any code: faults
    }
    std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 300)(rng)));
  }
  return codes;
}

// The weather: a random fault every few hundred milliseconds until stopped.
[[maybe_unused]] void Weather(FaultProxy& proxy, unsigned seed, const std::atomic<bool>& stop) {
  std::mt19937 rng(seed);
  while (!stop) {
    proxy.Pass();
    switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
      case 0:
        proxy.Stall(true);
        break;
      case 1:
        proxy.Trickle(std::uniform_int_distribution<int>(20, 400)(rng));
        break;
      case 2:
        proxy.CutAfter(FaultProxy::Direction::kToServer,
                       std::uniform_int_distribution<int>(50, 2500)(rng));
        break;
      case 3:
      case 7:
        proxy.CutAfter(FaultProxy::Direction::kToClient,
                       std::uniform_int_distribution<int>(50, 2500)(rng));
        break;
      case 4:
      case 5:
      case 6:
        proxy.DropAnswerAfter(std::uniform_int_distribution<int>(300, 2500)(rng));
        break;
      default:
        break;  // a healthy spell
    }
    std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(100, 500)(rng)));
  }
  proxy.Pass();
}

struct ChildResult {
  bool complete = false;
  int finalCode = -100;
  std::vector<std::string> problems;
  std::map<std::string, std::string> byGuid;
  std::set<std::string> removed;
};

// The child's result file: "code N", then "problem TEXT", "rec GUID\tDATA" and
// "removed DATA" lines, then "end".
[[maybe_unused]] ChildResult ReadChildResult(const std::string& path) {
  ChildResult result;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "end") {
      result.complete = true;
    } else if (line.rfind("code ", 0) == 0) {
      result.finalCode = std::atoi(line.c_str() + 5);
    } else if (line.rfind("problem ", 0) == 0) {
      result.problems.push_back(line.substr(8));
    } else if (line.rfind("rec ", 0) == 0) {
      const size_t tab = line.find('\t');
      result.byGuid[line.substr(4, tab - 4)] = line.substr(tab + 1);
    } else if (line.rfind("removed ", 0) == 0) {
      result.removed.insert(line.substr(8));
    }
  }
  return result;
}

#if !defined(_WIN32)
class ChildProcess {
 public:
  // Starts this program again as the second device of the run in dir.
  bool Start(const std::string& dir) {
    const std::string filter = "--gtest_filter=NetworkChaosChild.SecondDevice";
    const std::string self = "/proc/self/exe";
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = dir + "/child.log";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    setenv(kChildVariable, dir.c_str(), 1);
    const int failed = posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, environ);
    unsetenv(kChildVariable);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) pid_ = -1;
    return pid_ > 0;
  }
  // Waits for the child to end (killing it after limit); true when it ended by itself with 0.
  bool Wait(std::chrono::seconds limit) {
    if (pid_ <= 0) return false;
    const auto until = steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (steady_clock::now() > until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ~ChildProcess() { Wait(std::chrono::seconds(0)); }

 private:
  pid_t pid_ = -1;
};
#endif

class NetworkChaosTest : public E2eTest, public ::testing::WithParamInterface<unsigned> {
 protected:
  void TearDown() override {
    RestoreDeadlines();
    a_.reset();
    if (proxy_) proxy_->Stop();
    E2eTest::TearDown();
  }
  std::unique_ptr<FaultProxy> proxy_;
};

TEST_P(NetworkChaosTest, TwoDevicesConvergeAfterRandomFaults) {
#if defined(_WIN32)
  GTEST_SKIP() << "the second device runs as a POSIX child process";
#else
  const unsigned seed = GetParam();
  syncserver::SyncServerOptions options;
  options.interval_seconds = 1;
  options.lock_timeout_ms = 2000;
  StartServer(options);
  proxy_ = std::make_unique<FaultProxy>(server().port());
  std::string error;
  ASSERT_TRUE(proxy_->Start(&error)) << error;
  const std::string run = dir_ / ("chaos" + std::to_string(seed));
  std::filesystem::create_directories(run);
  a_ = std::make_unique<ModelDevice>("a", run, proxy_->url(), kUser, kToken);
  std::ofstream(run + "/params") << proxy_->url() << "\n" << seed + 1 << "\n";
  ShortDeadlines();

  ChildProcess child;
  ASSERT_TRUE(child.Start(run));
  std::atomic<bool> calm{false};
  std::thread weather([&] { Weather(*proxy_, seed + 2, calm); });
  std::set<std::string> removed;
  const std::map<int, int> codes = Live(*a_, seed, &removed);
  const bool childLived = WaitForFile(run + "/b.ready", std::chrono::seconds(60));
  calm = true;
  weather.join();
  ASSERT_TRUE(childLived) << "the second device did not finish its life";

  // Healthy network. A lock granted whose answer was lost may still be live: let it go.
  service().ExpireLocks();
  ASSERT_EQ(a_->Sync(5), 0);
  Touch(run + "/go");
  ASSERT_TRUE(child.Wait(std::chrono::seconds(60))) << "the second device failed, see its log "
                                                    << run << "/child.log";
  const ChildResult b = ReadChildResult(run + "/b.result");
  ASSERT_TRUE(b.complete);
  EXPECT_EQ(b.finalCode, 0);
  ASSERT_EQ(a_->Sync(5), 0);

  const auto server = ServerRecords();
  EXPECT_EQ(a_->ByGuid(), server) << "seed " << seed;
  EXPECT_EQ(b.byGuid, server) << "seed " << seed;
  EXPECT_THAT(a_->Problems(), ::testing::IsEmpty());
  EXPECT_THAT(b.problems, ::testing::IsEmpty());
  std::multiset<std::string> data;
  for (const auto& entry : server) data.insert(entry.second);
  for (const std::string& record : data) EXPECT_EQ(data.count(record), 1u) << "twice: " << record;
  removed.insert(b.removed.begin(), b.removed.end());
  for (const std::string& gone : removed) EXPECT_EQ(data.count(gone), 0u) << "back: " << gone;
  ExpectClean(*a_);
  // What the run went through, for a reader of the test's output.
  std::printf("seed %u: %zu records, %d faults acted, %d connections, %d POST received\n", seed,
              server.size(), proxy_->Fired(), proxy_->Connections(),
              this->server().ReceivedCount("POST"));
  for (const auto& [code, count] : codes) std::printf("  device a: code %d x%d\n", code, count);
#endif
}

std::vector<unsigned> Seeds() {
  std::vector<unsigned> seeds(std::begin(kSeeds), std::end(kSeeds));
  if (const char* extra = std::getenv("QUILLET_CHAOS_SEEDS")) {
    std::string text(extra);
    for (char& c : text) {
      if (c == ',') c = ' ';
    }
    std::istringstream in(text);
    unsigned long value = 0;
    while (in >> value) seeds.push_back(static_cast<unsigned>(value));
  }
  return seeds;
}

INSTANTIATE_TEST_SUITE_P(Seeds, NetworkChaosTest, ::testing::ValuesIn(Seeds()));

// The second device of a chaos run (see the file comment); skipped in ordinary runs.
TEST(NetworkChaosChild, SecondDevice) {
  const char* dir = std::getenv(kChildVariable);
  if (dir == nullptr) GTEST_SKIP() << "runs only as the second device of a chaos run";
  const std::string run = dir;
  std::ifstream params(run + "/params");
  std::string url;
  unsigned seed = 0;
  ASSERT_TRUE(params >> url >> seed);
  ShortDeadlines();
  ModelDevice b("b", run, url, kUser, kToken);
  std::set<std::string> removed;
  Live(b, seed, &removed);
  Touch(run + "/b.ready");
  ASSERT_TRUE(WaitForFile(run + "/go", std::chrono::seconds(60)));
  const int code = b.Sync(5);
  std::ofstream out(run + "/b.result.tmp");
  out << "code " << code << "\n";
  for (const std::string& problem : b.Problems()) out << "problem " << problem << "\n";
  for (const auto& entry : b.ByGuid()) out << "rec " << entry.first << "\t" << entry.second << "\n";
  for (const std::string& gone : removed) out << "removed " << gone << "\n";
  out << "end\n";
  out.close();
  std::rename((run + "/b.result.tmp").c_str(), (run + "/b.result").c_str());
}

}  // namespace
}  // namespace e2e
}  // namespace quillet
