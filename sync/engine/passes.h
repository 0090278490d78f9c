// The two passes of one data type's sync, and the ctag row they rely on.
#ifndef QUILLET_SYNC_ENGINE_PASSES_H_
#define QUILLET_SYNC_ENGINE_PASSES_H_

#include <atomic>

#include "sync/common/records.h"
#include "sync/net/net_interface.h"

namespace quillet {

// True when the data type's ctag row exists or was inserted.
bool CheckAndInsertCtag(const WString& dataType);

// What the download pass returns when it did all its work but the host left records or
// deletions unconfirmed: the ctag was not stored and must not be at the round's end either.
// The session turns it into 0 for the host (the upload pass still runs); never returned to
// a host.
constexpr int kDownloadLeftUnconfirmed = -2;

// Cloud changes to the host. 0, kDownloadLeftUnconfirmed or an error code; stops with 2027
// once stop is set.
int ProcessDownloadStructData(NetConfig config, const WString& dataType, int batchNumber,
                              const WString& currentCtag, INetInterface* net,
                              const std::atomic<bool>& stop);

// Local changes to the cloud. 0 or an error code; stops with 2027 once stop is set.
int ProcessUploadStrucData(NetConfig config, const WString& dataType, int batchNumber,
                           INetInterface* net, const std::atomic<bool>& stop);

}  // namespace quillet

#endif  // QUILLET_SYNC_ENGINE_PASSES_H_
