#include "sync/session/session_services.h"

#include "sync/engine/passes.h"
#include "sync/log/logger.h"
#include "sync/net/net_factory.h"
#include "sync/store/database_operator.h"

namespace quillet {

SessionServices SessionServices::Default() {
  SessionServices services;
  services.initLogger = InitLogger;
  services.initDataBase = [](const WString& userId, const WString& dataDir) {
    return DataBaseOperator::GetInstance().IntiDataBase(userId, dataDir);
  };
  services.updateCtag = [](const WString& dataType, const WString& ctag) {
    return DataBaseOperator::GetInstance().UpdateCtagData(dataType, ctag);
  };
  services.createNetInterface = CreateNetInterface;
  services.checkAndInsertCtag = CheckAndInsertCtag;
  services.downloadPass = ProcessDownloadStructData;
  services.uploadPass = ProcessUploadStrucData;
  return services;
}

}  // namespace quillet
