#include "sync/engine/pass_support.h"

#include "sync/common/active_adapter.h"
#include "sync/log/logger.h"

namespace quillet {

int MapCloudCode(int code) {
  if (code >= 200 && code <= 300) return 0;
  if (code == 0) return 2004;
  if (code == 3) return 2009;
  return code;
}

void StepLog::Info(const WString& text) const { LogSync(u"Info", function_, text); }

void StepLog::Error(const WString& text) const {
  LogSync(u"Error", function_, text);
  LogError(text);
}

void PassReport::Send(const WString& businessId, const WString& returnCode,
                      const WString& syncInfo) {
  report_[u"business_id"] = businessId;
  report_[u"returnCode"] = returnCode;
  report_[u"syncInfo"] = syncInfo;
  if (const AdapterRef host = ActiveAdapter()) host->ReportEvent(1, businessId, report_);
}

}  // namespace quillet
