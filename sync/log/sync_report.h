// The report record handed to the host after each notable step.
#ifndef QUILLET_SYNC_LOG_SYNC_REPORT_H_
#define QUILLET_SYNC_LOG_SYNC_REPORT_H_

#include "sync/common/records.h"

namespace quillet {

// Ordered by key, so the host receives the pairs in ascending key order.
using SyncReport = TextMap;

// A report holding the seven base keys of a session with this init record.
SyncReport MakeSyncReport(const NetConfig& config);

}  // namespace quillet

#endif  // QUILLET_SYNC_LOG_SYNC_REPORT_H_
