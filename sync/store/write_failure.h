// Why a write of the library's own files (the store, the delivery journal) failed, named
// the way a user can act on it: "disk full", "I/O error", "read-only", "permission denied".
// Error lines and report texts carry it, so that a failed sync says why.
#ifndef QUILLET_SYNC_STORE_WRITE_FAILURE_H_
#define QUILLET_SYNC_STORE_WRITE_FAILURE_H_

#include "sync/platform/text.h"

namespace quillet {

// The cause an errno value names; empty for one that names none of the four.
WString CauseOfErrno(int error);
// The cause of an SQLite result (extended codes too); systemErrno is what
// sqlite3_system_errno gave, consulted only for I/O and open failures.
WString CauseOfSqlite(int code, int systemErrno);

// The latest failure of the store or the journal in this process; cause may be empty (a
// failure that names none). Process-wide: a sync reads it right after the step that failed.
void NoteWriteFailure(const WString& cause);
WString LatestWriteFailure();
// ",cause: disk full" for the latest failure, empty when it named no cause.
WString WriteFailureSuffix();

}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_WRITE_FAILURE_H_
