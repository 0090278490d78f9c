// The world of the kill-and-rerun test: the reference sync server in its own process and
// devices, each a profile of the sample host run as a program.
#ifndef QUILLET_EXAMPLES_KILL_RERUN_SYNC_WORLD_H_
#define QUILLET_EXAMPLES_KILL_RERUN_SYNC_WORLD_H_

#include <string>
#include <vector>

#include "examples/bookmarks/kill_rerun/child_process.h"

namespace quillet {
namespace killrerun {

class ServerProcess {
 public:
  // Serves on 127.0.0.1 with a data file in dir. A lock whose holder was killed blocks
  // the other device only for lockTimeoutMs.
  bool Start(const std::string& serverBin, const std::string& certDir, const std::string& dir,
             int lockTimeoutMs, std::string* error);
  // SIGTERM and wait: the server closes its data file cleanly. True when it exited 0.
  bool Stop();
  const std::string& url() const { return url_; }
  const std::string& dataFile() const { return dataFile_; }
  std::string log() const { return child_.output(); }

 private:
  ChildProcess child_;
  std::string url_;
  std::string dataFile_;
};

struct Bookmark {
  std::string luid, title, url, guid;
  int state = 0;
};

// The summary line of a completed sync, or valid = false when there was none.
struct SyncFigures {
  bool valid = false;
  int downloaded = 0, cloudAdded = 0, cloudModified = 0, cloudDeleted = 0, removedHere = 0;
  int alreadyHere = 0, adopted = 0, uploadedAdds = 0, uploadedEdits = 0, uploadedDeletes = 0;
  bool Quiet() const;
};

// When to kill a sync: after the occurrence-th output line that starts with marker
// (empty: from the start), delayMicros later. A marker that does not come that often lets
// the sync finish.
struct KillPlan {
  std::string marker;
  int occurrence = 1;
  int delayMicros = 0;
};

struct SyncRun {
  bool killed = false;  // ended by the planned SIGKILL
  int status = 0;       // wait status
  std::string output;
  SyncFigures figures;
  bool Succeeded() const;
  // Failed only because the cloud lock was still held (by a killed process).
  bool LockBusy() const;
};

class Device {
 public:
  Device(std::string name, std::string profile, std::string hostBin);

  // Writes host.ini and lets the host create its bookmark file.
  bool Setup(const std::string& url, const std::string& user, int batch, std::string* error);
  bool Add(const std::string& title, const std::string& url, std::string* error);
  bool Edit(const std::string& luid, const std::string& title, const std::string& url,
            std::string* error);
  bool Remove(const std::string& luid, std::string* error);

  SyncRun Sync();
  SyncRun SyncKilledAt(const KillPlan& plan);

  // Read while no host process runs.
  bool Bookmarks(std::vector<Bookmark>* out, std::string* error) const;
  std::string BookmarkFile() const { return profile_ + "/bookmarks.db"; }
  // Every "Quillet.dat" under the profile's store directory.
  std::vector<std::string> StoreFiles() const;

  const std::string& name() const { return name_; }

 private:
  bool Run(const std::vector<std::string>& args, std::string* error);

  std::string name_;
  std::string profile_;
  std::string hostBin_;
};

}  // namespace killrerun
}  // namespace quillet

#endif  // QUILLET_EXAMPLES_KILL_RERUN_SYNC_WORLD_H_
