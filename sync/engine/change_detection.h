// Change detection: which side of a data type changed since the last sync, decided against
// the stored etag rows (one per record known to both sides).
//
// The comparisons are pure apart from their log lines and append to their out lists in
// input order. Lookups go through a flat hash index of the UTF-16 keys; when a key (guid or
// luid) repeats in an input list its first occurrence decides and the later ones are
// ignored, so no record is handed on twice. Called on the sync thread.
#ifndef QUILLET_SYNC_ENGINE_CHANGE_DETECTION_H_
#define QUILLET_SYNC_ENGINE_CHANGE_DETECTION_H_

#include <vector>

#include "sync/common/records.h"
#include "sync/store/store_records.h"

namespace quillet {

using EtagList = std::vector<EtagItem>;

// Download side, by guid and etag. cloudAdd: cloud entries with no stored row (luid empty);
// cloudModify: cloud entries whose etag differs from the row's (case matters), carrying the
// row's luid; cloudDelete: stored rows whose guid the cloud no longer lists.
void CompareCloudToLocalEtags(const EtagList& cloud, const EtagList& local, EtagList& cloudAdd,
                              EtagList& cloudModify, EtagList& cloudDelete);

// Upload side, by luid. A host record with state 1 is a localAdd (luid and type only) when
// it has no stored row, else a localModify carrying the row's guid; other states are
// unchanged. Stored rows whose luid the host no longer lists are localDelete (type set to
// dataType).
void CompareLocalToCloudEtags(const std::vector<LocalIdRecord>& localIds, const EtagList& db,
                              const WString& dataType, EtagList& localAdd, EtagList& localModify,
                              EtagList& localDelete);

// Asks the host for its ids (QueryLocalIds mode 1), reads the luid and guid of the type's
// etag rows (so localDelete entries carry luid, guid and type only), compares,
// logs the outcome and tells the host the upload starts. 0; 2006 when the rows cannot be
// read (lists untouched, host not told); 2003 when the host's answer is not a valid list
// (lists untouched, host not told); 2010 when there is no host adapter.
int IdentifyLocalChange(const WString& dataType, EtagList& localAdd, EtagList& localModify,
                        EtagList& localDelete);

// Counts to the sync log, each record's luid to the info log.
void PrintLogForLocalChange(const EtagList& localAdd, const EtagList& localModify,
                            const EtagList& localDelete);

}  // namespace quillet

#endif  // QUILLET_SYNC_ENGINE_CHANGE_DETECTION_H_
