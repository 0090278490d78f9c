#include "sync/log/sync_report.h"

#include "sync/net/device_id.h"

namespace quillet {

SyncReport MakeSyncReport(const NetConfig& config) {
  SyncReport report;
  report[u"domain"] = config.SyncServerUrl;
  report[u"syncType"] = config.SyncType;
  report[u"userID"] = config.UserID;
  report[u"logVersion"] = u"1.0";
  report[u"endTrace"] = u"0";
  report[u"versionname"] = u"1.0.0.300";
  report[u"deviceName"] = DeviceIdCache();
  return report;
}

}  // namespace quillet
