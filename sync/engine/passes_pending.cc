// The passes are not built yet. Each fails with a code that reads as such, so nothing
// reports a sync that did not happen.
#include "quillet.h"
#include "sync/engine/passes.h"

namespace quillet {

int ProcessDownloadStructData(NetConfig, const WString&, int, const WString&, INetInterface*,
                              const std::atomic<bool>&) {
  return QUILLET_INTERNAL_ERROR;
}

int ProcessUploadStrucData(NetConfig, const WString&, int, INetInterface*,
                           const std::atomic<bool>&) {
  return QUILLET_INTERNAL_ERROR;
}

}  // namespace quillet
