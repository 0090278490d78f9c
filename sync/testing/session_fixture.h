// Scripted services for a session: records what the session asked of logging, the store,
// the factory and the passes, and answers as scripted. Logging is real (into a temp dir).
#ifndef QUILLET_SYNC_TESTING_SESSION_FIXTURE_H_
#define QUILLET_SYNC_TESTING_SESSION_FIXTURE_H_

#include <memory>
#include <string>
#include <vector>

#include "sync/session/session_services.h"
#include "sync/testing/fake_net.h"

namespace quillet {
namespace testing {

struct PassCall {
  WString dataType;
  int batchNumber = 0;
  WString ctag;
  bool stop = false;
  INetInterface* net = nullptr;
};

struct ScriptedServices {
  bool loggerOk = true;
  bool dbOk = true;
  bool clientExists = true;
  bool ctagRowOk = true;
  int downloadCode = 0;
  int uploadCode = 0;
  bool downloadThrows = false;
  std::shared_ptr<FakeNetScript> net = std::make_shared<FakeNetScript>();

  std::vector<WString> loggerDirs;
  std::vector<std::pair<WString, WString>> dbOpens;  // user id, data dir
  std::vector<std::pair<WString, WString>> ctagUpdates;
  std::vector<WString> ctagRows;
  std::vector<PassCall> downloads;
  std::vector<PassCall> uploads;
  int clientsMade = 0;

  // Services that forward to this script; the script must outlive the session.
  SessionServices Services();
};

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_SESSION_FIXTURE_H_
