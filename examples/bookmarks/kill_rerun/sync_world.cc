#include "examples/bookmarks/kill_rerun/sync_world.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "examples/bookmarks/kill_rerun/sqlite_file.h"

namespace quillet {
namespace killrerun {
namespace {

using Clock = ChildProcess::Clock;
constexpr auto kRunLimit = std::chrono::seconds(120);

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

SyncFigures ParseFigures(const std::string& output) {
  SyncFigures f;
  const size_t at = output.rfind("sync done in ");
  if (at == std::string::npos) return f;
  long seconds = 0;
  const int n = std::sscanf(
      output.c_str() + at,
      "sync done in %lds: downloaded %d (cloud: +%d ~%d -%d, %d removed here, %d already here, "
      "%d adopted), uploaded +%d ~%d -%d",
      &seconds, &f.downloaded, &f.cloudAdded, &f.cloudModified, &f.cloudDeleted, &f.removedHere,
      &f.alreadyHere, &f.adopted, &f.uploadedAdds, &f.uploadedEdits, &f.uploadedDeletes);
  f.valid = n == 11;
  return f;
}

SyncRun Finished(ChildProcess* child, bool killed) {
  SyncRun run;
  run.status = child->Finish(kRunLimit);
  run.killed = killed;
  run.output = child->output();
  run.figures = ParseFigures(run.output);
  return run;
}

}  // namespace

bool SyncFigures::Quiet() const {
  return valid && downloaded == 0 && cloudAdded == 0 && cloudModified == 0 && cloudDeleted == 0 &&
         removedHere == 0 && alreadyHere == 0 && adopted == 0 && uploadedAdds == 0 &&
         uploadedEdits == 0 && uploadedDeletes == 0;
}

bool SyncRun::Succeeded() const {
  return !killed && WIFEXITED(status) && WEXITSTATUS(status) == 0 && figures.valid;
}

bool SyncRun::LockBusy() const {
  return !killed && WIFEXITED(status) && WEXITSTATUS(status) == 1 &&
         (output.find("sync failed: code 1001 ") != std::string::npos ||
          output.find("sync failed: code 2009 ") != std::string::npos);
}

bool ServerProcess::Start(const std::string& serverBin, const std::string& certDir,
                          const std::string& dir, int lockTimeoutMs, std::string* error) {
  dataFile_ = dir + "/server.db";
  if (!child_.Start({serverBin, "--cert", certDir + "/server.pem", "--key",
                     certDir + "/server.key", "--port", "0", "--data", dataFile_,
                     "--lock-timeout", std::to_string(lockTimeoutMs)},
                    error)) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::string line;
  while (child_.ReadLine(&line, deadline) == ChildProcess::Read::kLine) {
    const std::string prefix = "listening on ";
    if (StartsWith(line, prefix)) {
      url_ = line.substr(prefix.size());
      return true;
    }
  }
  *error = "the sync server did not start: " + child_.output();
  return false;
}

bool ServerProcess::Stop() {
  child_.Signal(SIGTERM);
  const int status = child_.Finish(std::chrono::seconds(20));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Device::Device(std::string name, std::string profile, std::string hostBin)
    : name_(std::move(name)), profile_(std::move(profile)), hostBin_(std::move(hostBin)) {}

bool Device::Setup(const std::string& url, const std::string& user, int batch,
                   std::string* error) {
  std::filesystem::create_directories(profile_);
  std::ofstream ini(profile_ + "/host.ini");
  ini << "server=" << url << "\nuser=" << user << "\ntoken=kill-test-token\nbatch=" << batch
      << "\n";
  ini.close();
  if (!ini) {
    *error = "cannot write " + profile_ + "/host.ini";
    return false;
  }
  return Run({"list"}, error);
}

bool Device::Run(const std::vector<std::string>& args, std::string* error) {
  std::vector<std::string> argv{hostBin_, "--profile", profile_};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  const int status = RunToEnd(argv, kRunLimit, &output);
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  *error = name_ + ": " + args.at(0) + " failed: " + output;
  return false;
}

bool Device::Add(const std::string& title, const std::string& url, std::string* error) {
  return Run({"add", title, url}, error);
}

bool Device::Edit(const std::string& luid, const std::string& title, const std::string& url,
                  std::string* error) {
  return Run({"edit", luid, title, url}, error);
}

bool Device::Remove(const std::string& luid, std::string* error) {
  return Run({"remove", luid}, error);
}

SyncRun Device::Sync() { return SyncKilledAt(KillPlan{"", 0, -1}); }

SyncRun Device::SyncKilledAt(const KillPlan& plan) {
  ChildProcess child;
  SyncRun run;
  if (!child.Start({hostBin_, "--profile", profile_, "sync"}, &run.output)) {
    run.status = -1;
    return run;
  }
  if (plan.delayMicros < 0) return Finished(&child, false);
  int seen = 0;
  std::string line;
  const auto deadline = Clock::now() + kRunLimit;
  while (!plan.marker.empty() && seen < plan.occurrence) {
    if (child.ReadLine(&line, deadline) != ChildProcess::Read::kLine) {
      return Finished(&child, false);  // the sync ended before the moment came
    }
    if (StartsWith(line, plan.marker)) ++seen;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(plan.delayMicros));
  // The child may have ended meanwhile; it is reaped only in Finish, so the pid is still
  // its own and the signal then changes nothing.
  child.Signal(SIGKILL);
  SyncRun result = Finished(&child, true);
  result.killed = WIFSIGNALED(result.status) && WTERMSIG(result.status) == SIGKILL;
  return result;
}

bool Device::Bookmarks(std::vector<Bookmark>* out, std::string* error) const {
  out->clear();
  SqliteFile file(BookmarkFile());
  std::vector<Row> rows;
  if (!file.Query("SELECT luid,title,url,guid,state FROM bookmarks ORDER BY luid;", &rows)) {
    *error = file.error();
    return false;
  }
  for (const Row& r : rows) out->push_back(Bookmark{r[0], r[1], r[2], r[3], std::stoi(r[4])});
  return true;
}

std::vector<std::string> Device::StoreFiles() const {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(profile_ + "/data", ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename() == "Quillet.dat") files.push_back(it->path().string());
  }
  return files;
}

}  // namespace killrerun
}  // namespace quillet
