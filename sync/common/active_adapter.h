// The process-wide adapter of the latest InitCloudSync that registered a session; every
// session calls the host through it. Reads and writes are thread-safe; a caller keeps the
// returned reference for the duration of its call, so a replaced adapter lives until then.
#ifndef QUILLET_SYNC_COMMON_ACTIVE_ADAPTER_H_
#define QUILLET_SYNC_COMMON_ACTIVE_ADAPTER_H_

#include "sync/common/sync_process_adapter.h"

namespace quillet {

AdapterRef ActiveAdapter();
void SetActiveAdapter(AdapterRef adapter);

}  // namespace quillet

#endif  // QUILLET_SYNC_COMMON_ACTIVE_ADAPTER_H_
