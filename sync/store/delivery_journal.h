// The delivery journal: the cloud additions handed to the host whose etag rows are not
// written yet, kept in a small file beside the store ("Quillet.delivery.<md5 of the type>").
//
// The host stores a delivery before the library writes its rows. A process that dies in
// between leaves records on the host that the library knows nothing of; if the cloud then
// deletes them, no later round would name them again and the host would keep them for
// good. The journal lets the next round find such records: it hands them over once more,
// learns their luids from the host's answer and deletes them through the host.
//
// Each Record is synced to the disk (and the folder when the file is new) before the host
// is handed the delivery: it has to outlive a power cut, not only the process. The file
// is the user's alone and never opened through a link planted in its place.
// Every input read back is untrusted: a torn or foreign line is skipped. Not thread-safe;
// the pass that owns the data type is its only user. Failures are reported as false and
// never throw.
#ifndef QUILLET_SYNC_STORE_DELIVERY_JOURNAL_H_
#define QUILLET_SYNC_STORE_DELIVERY_JOURNAL_H_

#include <cstdio>
#include <string>

#include "sync/common/records.h"

namespace quillet {

class DeliveryJournal {
 public:
  // storePath: the store's database file (DataBaseOperator::DbPath); the journal lies in its
  // directory. An empty path gives a journal that records nothing and reads nothing.
  DeliveryJournal(const WString& storePath, const WString& dataType);
  // Closes the file; what it holds stays on disk unless Clear removed it.
  ~DeliveryJournal();
  DeliveryJournal(const DeliveryJournal&) = delete;
  DeliveryJournal& operator=(const DeliveryJournal&) = delete;

  // Replaces the journal by these records (guid and data of each): those carried over from
  // an earlier round and not resolved yet, then the delivery about to be handed over.
  bool Record(const StructList& carried, const StructList& added);
  // The records of the latest Record not yet cleared, in their order; empty when none.
  StructList Read() const;
  // The rows of every recorded delivery are written: nothing is in flight any more. Empties
  // the file and keeps it open for the next Record of the same pass (opening or creating a
  // file per batch costs more than writing it); Clear at the end of the pass removes it.
  bool Empty();
  // Nothing is in flight and the pass is over: the file goes.
  bool Clear();

  const std::string& path() const { return path_; }

 private:
  // Replaces the file's contents by text: cut to nothing, then written and flushed, as a
  // fresh file would be; durable: synced to the disk as well.
  bool Replace(const std::string& text, bool durable);
  void Close();

  std::string path_;           // UTF-8; empty: disabled
  std::string directory_;      // UTF-8; the store's folder, where the journal lies
  std::FILE* file_ = nullptr;  // open from the first Record to Clear or the end
  bool holdsBytes_ = false;    // the open file is not empty
  bool empty_ = false;         // known to hold nothing: Empty has nothing to do
  bool gone_ = false;          // known to be removed: Clear has nothing to do
};

}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_DELIVERY_JOURNAL_H_
