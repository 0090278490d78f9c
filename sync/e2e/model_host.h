// A model host for end-to-end runs: one "device" keeps its records in memory (luid, data,
// guid, change state) and answers the library's C callbacks the way a careful host does,
// with host-allocated results handed back through the Free entries.
//
// The library has one callback table per process (the latest InitCloudSync) and one
// session per sync type, so several devices of one user take turns: Activate() drops every
// session and registers this device's init record (its own store and log folders) with
// the shared table, whose entries forward to the active device.
#ifndef QUILLET_SYNC_E2E_MODEL_HOST_H_
#define QUILLET_SYNC_E2E_MODEL_HOST_H_

#include <functional>
#include <map>
#include <unordered_map>
#include <mutex>
#include <string>
#include <vector>

#include "quillet.h"

namespace quillet {
namespace e2e {

inline constexpr char kSyncType[] = "browser";
inline constexpr char kDataType[] = "bookmark";

struct ModelRecord {
  std::string data;
  std::string guid;  // empty until the cloud knows the record
  int state = 0;     // 1: created or changed here, to upload
};

// One host callback as the device saw it. counts: the entry's numbers (record counts);
// luids: the luids it was handed or answered, where that matters to the tests.
struct HostEvent {
  std::string entry;
  std::vector<int> counts;
  std::vector<std::string> luids;
};

class ModelDevice {
 public:
  // Store and logs go under baseDir/name. token is the access token of the init record.
  ModelDevice(std::string name, const std::string& baseDir, std::string serverUrl,
              std::string userId, std::string token);
  ~ModelDevice();
  ModelDevice(const ModelDevice&) = delete;
  ModelDevice& operator=(const ModelDevice&) = delete;

  // ---- Local edits, as the host's user makes them.
  std::string Add(const std::string& data);
  bool Modify(const std::string& luid, const std::string& data);
  bool Remove(const std::string& luid);

  // ---- Sync through the real exports.
  // Makes this device the library's host (UninitCloudSync, then InitCloudSync).
  void Activate();
  // One round: Activate, SyncDataWithReason(order 1), EndSync. Returns the sync call's code.
  int Sync(int batchNumber);

  // ---- What the device holds.
  std::map<std::string, ModelRecord> Records() const;
  // guid -> data of every record the cloud knows.
  std::map<std::string, std::string> ByGuid() const;
  // Luid of the record with this guid, empty when none.
  std::string LuidOf(const std::string& guid) const;
  // What a converged device must not have: records without guid, records still marked
  // changed, two records with one guid.
  std::vector<std::string> Problems() const;

  // ---- Observations.
  std::vector<HostEvent> Events() const;
  std::vector<HostEvent> EventsOf(const std::string& entry) const;
  void ClearEvents();
  // Added records delivered for a guid the device already holds (matched, not duplicated).
  int redeliveredAdds() const;
  // Added records the device matched by content to a record of its own not yet uploaded.
  int adoptedAdds() const;
  int getNewAtCalls() const;
  // Arrays handed to the library and not yet freed; Free calls that did not match one.
  size_t OutstandingArrays() const;
  std::vector<std::string> FreeErrors() const;

  // ---- Behaviour.
  // Runs after each callback has done its work, on the calling thread, without the
  // device's lock held (it may call StopSync or sleep).
  std::function<void(const HostEvent&)> onCall;
  // A record changed here and in the cloud keeps the local version (and is uploaded after
  // the download); otherwise the cloud's version replaces it.
  bool keepLocalEdits = false;
  // Token answered by GetNewAT; empty: the device has none to give.
  std::string freshToken;
  // Events are kept only while set (large benchmark runs switch it off).
  bool keepEvents = true;
  // The device's own storage fails (a full disk): UpdateStructData and DeleteData store
  // nothing and confirm nothing.
  bool storageFails = false;
  // A careless host: QueryLocalIds answers its list with the count -1, or no array with
  // the count of its records.
  enum class BadIdList { kNone, kNegativeCount, kNullWithCount };
  BadIdList badIdList = BadIdList::kNone;
  // DataQueryByID also answers these luids (held records or not) and this many null luids.
  std::vector<std::string> extraQueryLuids;
  int extraNullLuids = 0;
  // UpdateStructData also answers these (luid, guid) results, DeleteData these luids.
  std::vector<std::pair<std::string, std::string>> extraStoredResults;
  std::vector<std::string> extraDeletedLuids;
  // (business_id, syncInfo) of every report the library handed over, in order.
  std::vector<std::pair<std::string, std::string>> Reports() const;
  void Report(const char* id, const char** keys, const char** values, int count);

  const std::string& name() const { return name_; }
  const std::string& dbPath() const { return dbPath_; }

  // The active device, null when none; used by the callback table.
  static ModelDevice* Active();
  // The callback table shared by every device.
  static SyncCallbacks Callbacks();

  // ---- Callback bodies (called through the table on the active device).
  void OnDownloadSyncStart(int add, int modify, int del);
  void OnUploadSyncStart();
  void UpdateStructData(const StructDataItem* added, int addedCount, const StructDataItem* modified,
                        int modifiedCount, UpdateResultItem** results, int* resultCount);
  void GetNewAT(char** token);
  void DeleteData(const char** luids, int count, char*** results, int* resultCount);
  void QueryLocalIds(LocalIdItem** items, int* count);
  void DataQueryByID(const char** luids, int count, QueryResultItem** results, int* resultCount);
  void UpdateSyncResult(const StructDataItem* added, int addedCount, const StructDataItem* modified,
                        int modifiedCount, const char** deletedGuids, int deletedCount);
  void OnDataSyncEnd(int code);
  void OnSyncEnd();
  void Released(const char* entry, void* array, int count);

 private:
  void Note(HostEvent event);  // records the event and runs onCall, lock not held
  void* Track(void* array, int count);
  void SetGuid(const std::string& luid, const std::string& guid);
  // Luid of a record still waiting for its first upload with exactly this data; "" if none.
  std::string UnsentWithData(const std::string& data) const;

  const std::string name_;
  std::string dbPath_;
  std::string logPath_;
  std::string serverUrl_;
  std::string userId_;
  std::string token_;

  mutable std::mutex mutex_;
  std::map<std::string, ModelRecord> records_;  // by luid
  std::unordered_map<std::string, std::string> byGuid_;  // guid -> luid
  long nextLuid_ = 1;
  std::vector<HostEvent> events_;
  std::vector<std::pair<std::string, std::string>> reports_;
  int redeliveredAdds_ = 0;
  int adoptedAdds_ = 0;
  int getNewAtCalls_ = 0;
  std::map<void*, int> outstanding_;
  std::vector<std::string> freeErrors_;
};

}  // namespace e2e
}  // namespace quillet

#endif  // QUILLET_SYNC_E2E_MODEL_HOST_H_
