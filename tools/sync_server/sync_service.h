// The sync protocol as the server answers it: one request in (path, "method" parameter,
// body and the two headers that matter), one response out. Knows nothing of HTTP
// libraries, so faults and transport stay outside. Thread-safe: one mutex guards the data,
// the locks and the settings.
#ifndef QUILLET_TOOLS_SYNC_SERVER_SYNC_SERVICE_H_
#define QUILLET_TOOLS_SYNC_SERVER_SYNC_SERVICE_H_

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/sync_server/sync_state.h"

namespace Json {
class Value;
}

namespace quillet::syncserver {

struct ServiceRequest {
  std::string path;    // decoded URL path, e.g. /vastre/u1/browser/bookmark
  std::string method;  // value of the "method" query parameter
  std::string body;
  std::string authorization;  // "Authorization" header value
  std::string lock_token;     // "Lock-Token" header value, empty when absent
};

struct ServiceResponse {
  int http_status = 200;
  std::string body;
  std::string lock_token;  // sent as a "Lock-Token" header when not empty
  // For request logs: the operation, the user, the sync type and the collection addressed.
  std::string operation;  // LOCK ... POST, or empty when the request was not understood
  std::string user;
  std::string sync_type;
  std::string collection;
};

// Result codes in response bodies that clients act on.
constexpr int kCodeLocked = 3;
constexpr int kCodeTokenExpired = 402;
constexpr int kCodeBookmarkLimit = 50001;
constexpr int kCodePcBookmarkLimit = 70001;

struct ServiceOptions {
  int interval_seconds = 60;
  // How long a lock lives without KEEPLOCK; 0 means three intervals.
  int lock_timeout_ms = 0;
  // Records per collection; 0 means no limit.
  size_t record_limit = 0;
};

struct RecordView {
  std::string guid;
  std::string etag;
  std::string data;
  std::string props;  // compact JSON object text, empty when none
};

class SyncService {
 public:
  SyncService(std::unique_ptr<SyncState> state, ServiceOptions options);

  ServiceResponse Handle(const ServiceRequest& request);

  // ---- Inspection and seeding, for tests and tools.
  std::vector<RecordView> Records(const SpaceKey& space, const std::string& collection) const;
  std::optional<RecordView> FindRecord(const SpaceKey& space, const std::string& collection,
                                       const std::string& guid) const;
  // Empty when the collection does not exist.
  std::string Ctag(const SpaceKey& space, const std::string& collection) const;
  // Creates or replaces a record (collection created when missing); returns its new etag, or
  // an empty string when the data file could not be written.
  std::string PutRecord(const SpaceKey& space, const std::string& collection,
                        const std::string& guid, const std::string& data,
                        const std::string& props = "");
  bool RemoveRecord(const SpaceKey& space, const std::string& collection, const std::string& guid);

  // ---- Settings.
  void SetInterval(int seconds);
  void SetLockTimeout(int milliseconds);
  void SetRecordLimit(size_t limit);
  // Overrides the server-wide limit for collections of this name (0: no limit).
  void SetCollectionLimit(const std::string& collection, size_t limit);
  // Requests carrying this token (as the host gave it, before URL encoding) answer 402.
  void ExpireToken(const std::string& token);
  void RenewToken(const std::string& token);

  // ---- Locks.
  // Token of the live lock of the space, empty when none.
  std::string LockHolder(const SpaceKey& space) const;
  // Ends every lock at once, as if none had been kept alive.
  void ExpireLocks();

 private:
  struct Lock {
    std::string token;
    std::chrono::steady_clock::time_point expires;
  };
  struct Target {
    SpaceKey space;
    std::string collection;  // empty for the base path
  };

  ServiceResponse Dispatch(const ServiceRequest& request, const Target& target,
                           const std::string& operation);
  ServiceResponse DoLock(const Target& target, const std::string& token);
  ServiceResponse DoKeepLock(const Target& target, const std::string& token);
  ServiceResponse DoUnlock(const Target& target, const std::string& token);
  ServiceResponse DoPropfind(const Target& target, const std::string& body);
  ServiceResponse DoReport(const Target& target, const std::string& body);
  ServiceResponse DoPost(const Target& target, const std::string& body, const std::string& token);
  ServiceResponse PostAdd(const Target& target, const Json::Value& items);
  ServiceResponse PostUpdate(const Target& target, const Json::Value& items);
  ServiceResponse PostRemove(const Target& target, const Json::Value& guids);

  // True when someone other than the token's owner holds a live lock on the space.
  bool LockedByOther(const SpaceKey& space, const std::string& token) const;
  const Lock* LiveLock(const SpaceKey& space) const;
  std::chrono::milliseconds LockTimeout() const;
  size_t LimitFor(const std::string& collection) const;

  mutable std::mutex mutex_;
  std::unique_ptr<SyncState> state_;
  ServiceOptions options_;
  std::map<std::string, size_t> collection_limits_;
  std::set<std::string> expired_tokens_;
  std::map<SpaceKey, Lock> locks_;
};

// ---- Helpers, exposed for tests of their own.

// Splits ".../vastre/USER/TYPE[/COLLECTION]"; false when the path has another shape.
bool ParseSyncPath(const std::string& path, SpaceKey* space, std::string* collection);
// The access token inside an Authorization value (base64url of "8:device:app::token"),
// URL-decoded; false when the value cannot be read.
bool ParseAccessToken(const std::string& authorization, std::string* token);

}  // namespace quillet::syncserver

#endif  // QUILLET_TOOLS_SYNC_SERVER_SYNC_SERVICE_H_
