// Cloud writes of the upload pass: each sends one batch, judges every item of the answer
// on its own (in ascending key order), records the accepted items in the etag table and
// hands back one result record per accepted item. Called on the sync thread.
#ifndef QUILLET_SYNC_ENGINE_CLOUD_WRITES_H_
#define QUILLET_SYNC_ENGINE_CLOUD_WRITES_H_

#include "sync/common/records.h"
#include "sync/net/net_interface.h"

namespace quillet {

// pairs: (luid, data). 0; the mapped request code; 50001 when the collection is full; 2007
// when the rows cannot be stored. Accepted items are recorded even when the call fails.
int CloudAddAndInsertEtag(INetInterface* net, const WString& dataType, TextPairList pairs,
                          StructList& results);

// pairs: (guid, data). Results carry the guid in their luid field for the caller to
// replace. 0; the mapped status of the last rejected item; 2007.
int CloudUpdateAndInsertEtag(INetInterface* net, const WString& dataType, TextPairList pairs,
                             StructList& results);

// 0, or 2007 when the rows of the removed guids cannot be deleted. Rejections never fail.
int CloudDelAndDelEtag(INetInterface* net, const WString& dataType, TextList guids,
                       TextList& deleted);

// A full collection: "bookmark" with 50001, "pcbookmark" with 70001 (exact type names).
bool IsExceedLimit(const WString& dataType, int code);

}  // namespace quillet

#endif  // QUILLET_SYNC_ENGINE_CLOUD_WRITES_H_
