#include "sync/testing/session_fixture.h"

#include <stdexcept>

#include "sync/log/logger.h"

namespace quillet {
namespace testing {

SessionServices ScriptedServices::Services() {
  SessionServices s;
  s.initLogger = [this](const WString& dir) {
    loggerDirs.push_back(dir);
    return loggerOk && InitLogger(dir);
  };
  s.initDataBase = [this](const WString& user, const WString& dir) {
    dbOpens.emplace_back(user, dir);
    return dbOk;
  };
  s.updateCtag = [this](const WString& type, const WString& ctag) {
    ctagUpdates.emplace_back(type, ctag);
    return true;
  };
  s.createNetInterface = [this](const NetConfig&) -> NetInterfacePtr {
    if (!clientExists) return nullptr;
    ++clientsMade;
    return std::make_unique<FakeNet>(net);
  };
  s.checkAndInsertCtag = [this](const WString& type) {
    ctagRows.push_back(type);
    return ctagRowOk;
  };
  s.downloadPass = [this](NetConfig, const WString& type, int batch, const WString& ctag,
                          INetInterface* client, const std::atomic<bool>& stop) {
    if (downloadThrows) throw std::runtime_error("pass blew up");
    downloads.push_back({type, batch, ctag, stop.load(), client});
    return downloadCode;
  };
  s.uploadPass = [this](NetConfig, const WString& type, int batch, INetInterface* client,
                        const std::atomic<bool>& stop) {
    uploads.push_back({type, batch, WString(), stop.load(), client});
    return uploadCode;
  };
  return s;
}

}  // namespace testing
}  // namespace quillet
