#include "bench/floor_device.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillet {
namespace bench {
namespace {

bool IsAccepted(int status) { return status >= 200 && status <= 300; }

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

bool FailStatus(std::string* error, const char* request, int status) {
  return Fail(error, std::string(request) + " answered status " + std::to_string(status));
}

}  // namespace

FloorDevice::FloorDevice(ConnectionMode mode, FloorIdentity identity, std::string serverUrl,
                         std::string storePath, std::string caFile)
    : mode_(mode),
      identity_(std::move(identity)),
      serverUrl_(std::move(serverUrl)),
      caFile_(std::move(caFile)),
      store_(std::move(storePath)) {}

std::string FloorDevice::Add(const std::string& data) {
  const std::string luid = std::to_string(nextLuid_++);
  records_[luid] = FloorRecord{data, std::string(), true};
  return luid;
}

bool FloorDevice::Sync(int batch, std::string* error) {
  if (!store_.Prepare() || !store_.EnsureCtagRow(kDataType)) {
    return Fail(error, "the store " + store_.path() + " cannot be prepared");
  }
  // A new client per round, as the library makes one.
  FloorTransport transport(mode_, identity_, caFile_);
  FloorProtocol protocol(transport, serverUrl_, identity_.userId, identity_.syncType);
  CtagMap lockCtags;
  const int locked = protocol.Lock(&lockCtags);
  if (!IsSuccess(locked)) return FailStatus(error, "LOCK", locked);
  const auto current = lockCtags.find(kDataType);
  const std::string currentCtag = current == lockCtags.end() ? std::string() : current->second;

  const bool ok =
      DownloadStep(protocol, currentCtag, batch, error) && UploadStep(protocol, batch, error);
  CtagMap ctags;
  const int unlocked = protocol.Unlock(&ctags);
  if (!ok) return false;
  if (!IsSuccess(unlocked)) return FailStatus(error, "UNLOCK", unlocked);
  const auto ctag = ctags.find(kDataType);
  if (ctag != ctags.end() && !store_.WriteCtag(kDataType, ctag->second)) {
    return Fail(error, "the ctag cannot be stored");
  }
  return true;
}

bool FloorDevice::DownloadStep(FloorProtocol& protocol, const std::string& currentCtag, int batch,
                               std::string* error) {
  std::string storedCtag;
  if (!store_.ReadCtag(kDataType, &storedCtag)) return Fail(error, "the ctag cannot be read");
  if (storedCtag == currentCtag) return true;

  std::vector<CloudEtag> cloud;
  const int listed = protocol.GetEtagList(kDataType, &cloud);
  if (!IsSuccess(listed)) return FailStatus(error, "PROPFIND", listed);
  std::vector<EtagRow> local;
  if (!store_.ReadEtags(kDataType, &local)) return Fail(error, "the etag rows cannot be read");
  std::unordered_map<std::string, const EtagRow*> localByGuid;
  for (const EtagRow& row : local) localByGuid.emplace(row.guid, &row);

  // guid -> etag of every cloud addition; the list keeps the cloud's order.
  std::unordered_map<std::string, std::string> addedEtags;
  std::vector<std::string> added;
  std::unordered_set<std::string> cloudGuids;
  for (const CloudEtag& item : cloud) {
    cloudGuids.insert(item.guid);
    const auto stored = localByGuid.find(item.guid);
    if (stored != localByGuid.end()) {
      if (stored->second->etag != item.etag) return Fail(error, "a cloud modification");
      continue;
    }
    if (addedEtags.emplace(item.guid, item.etag).second) added.push_back(item.guid);
  }
  for (const EtagRow& row : local) {
    if (cloudGuids.count(row.guid) == 0) return Fail(error, "a cloud deletion");
  }

  for (size_t first = 0; first < added.size(); first += batch) {
    const size_t end = std::min(added.size(), first + static_cast<size_t>(batch));
    const std::vector<std::string> guids(added.begin() + first, added.begin() + end);
    std::vector<CloudRecord> downloaded;
    const int status = protocol.Download(kDataType, guids, &downloaded);
    if (!IsSuccess(status)) return FailStatus(error, "REPORT", status);
    std::vector<EtagRow> rows;
    rows.reserve(downloaded.size());
    for (CloudRecord& record : downloaded) {
      const auto etag = addedEtags.find(record.guid);
      if (etag == addedEtags.end()) continue;  // not asked for
      const std::string luid = std::to_string(nextLuid_++);
      rows.push_back(EtagRow{luid, etag->second, record.guid});
      records_[luid] = FloorRecord{std::move(record.data), record.guid, false};
    }
    // A full batch writes its (possibly empty) transaction, the last one only with rows.
    const bool full = guids.size() == static_cast<size_t>(batch);
    if ((full || !rows.empty()) && !store_.InsertEtags(kDataType, rows)) {
      return Fail(error, "the downloaded etag rows cannot be written");
    }
  }
  if (!store_.WriteCtag(kDataType, currentCtag)) return Fail(error, "the ctag cannot be stored");
  return true;
}

bool FloorDevice::UploadStep(FloorProtocol& protocol, int batch, std::string* error) {
  std::vector<EtagRow> stored;
  if (!store_.ReadEtags(kDataType, &stored)) return Fail(error, "the etag rows cannot be read");
  std::unordered_set<std::string> storedLuids;
  for (const EtagRow& row : stored) {
    if (records_.count(row.luid) == 0) return Fail(error, "a local deletion");
    storedLuids.insert(row.luid);
  }
  std::vector<LuidData> pending;
  for (const auto& [luid, record] : records_) {
    if (!record.changed) continue;
    if (storedLuids.count(luid) != 0) return Fail(error, "a local modification");
    pending.emplace_back(luid, record.data);
  }

  for (size_t first = 0; first < pending.size(); first += batch) {
    const size_t end = std::min(pending.size(), first + static_cast<size_t>(batch));
    const std::vector<LuidData> items(pending.begin() + first, pending.begin() + end);
    std::map<std::string, AddAnswer> answers;
    const int status = protocol.Add(kDataType, items, &answers);
    std::vector<EtagRow> rows;
    rows.reserve(answers.size());
    for (const auto& [luid, answer] : answers) {
      if (!IsAccepted(answer.status)) continue;
      rows.push_back(EtagRow{luid, answer.etag, answer.guid});
      const auto record = records_.find(luid);
      if (record != records_.end()) {
        record->second.guid = answer.guid;
        record->second.changed = false;
      }
    }
    if (!store_.InsertEtags(kDataType, rows)) {
      return Fail(error, "the uploaded etag rows cannot be written");
    }
    if (!IsAccepted(status)) return FailStatus(error, "POST", status);
  }
  return true;
}

}  // namespace bench
}  // namespace quillet
