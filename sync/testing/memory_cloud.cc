#include "sync/testing/memory_cloud.h"

namespace quillet {
namespace testing {

size_t MemoryCloud::CountOf(const std::string& operation) const {
  size_t n = 0;
  for (const auto& request : requests) n += request.first == operation;
  return n;
}

int MemoryCloud::Fault(const std::string& operation, size_t itemCount) {
  requests.emplace_back(operation, itemCount);
  const auto it = failAt.find(operation);
  if (it == failAt.end() || static_cast<int>(CountOf(operation)) != it->second.first) return 0;
  return it->second.second == 0 ? -1 : it->second.second;  // -1 stands for "status 0"
}

int MemoryCloud::ItemStatus(const WString& key) const {
  const auto it = itemStatus.find(key);
  return it == itemStatus.end() ? 200 : it->second;
}

int MemoryCloud::GetEtagList(const WString& dataType, std::vector<EtagItem>& etags) {
  if (const int fault = Fault("GetEtagList", 0)) return fault < 0 ? 0 : fault;
  for (const auto& entry : records) {
    EtagItem item;
    item.guid = entry.first;
    item.etag = entry.second.etag;
    item.type = dataType;
    etags.push_back(item);
  }
  return 207;
}

int MemoryCloud::DownloadData(const WString&, TextList guids, StructList& out) {
  if (const int fault = Fault("DownloadData", guids.size())) return fault < 0 ? 0 : fault;
  for (const WString& guid : guids) {
    const auto it = records.find(guid);
    if (it == records.end()) continue;
    StructRecord record;
    record.guid = guid;
    record.data = it->second.data;
    out.push_back(record);
  }
  return 207;
}

std::map<WString, AddResult> MemoryCloud::AddData(const WString&, TextPairList items, int& status) {
  std::map<WString, AddResult> out;
  if (const int fault = Fault("AddData", items.size())) {
    status = fault < 0 ? 0 : fault;
    return out;
  }
  status = addRequestCode;
  for (const auto& item : items) {
    AddResult result;
    result.luid = item.first;
    result.status = ItemStatus(item.first);
    if (result.status >= 200 && result.status <= 300) {
      result.guid = u"g" + ToWide(++guidCounter_);
      result.etag = NextEtag();
      records[result.guid] = {result.etag, item.second};
    }
    out[item.first] = result;
  }
  return out;
}

std::map<WString, UpdateResult> MemoryCloud::UpdateData(const WString&, TextPairList items,
                                                        int& status) {
  std::map<WString, UpdateResult> out;
  if (const int fault = Fault("UpdateData", items.size())) {
    status = fault < 0 ? 0 : fault;
    return out;
  }
  status = 200;
  for (const auto& item : items) {
    UpdateResult result;
    result.guid = item.first;
    result.status = ItemStatus(item.first);
    if (result.status >= 200 && result.status <= 300) {
      if (records.count(item.first) == 0) {
        result.status = 404;
      } else {
        result.etag = NextEtag();
        records[item.first] = {result.etag, item.second};
      }
    }
    out[item.first] = result;
  }
  return out;
}

std::map<WString, int> MemoryCloud::RemoveData(const WString&, TextList guids,
                                               int& requestStatus) {
  std::map<WString, int> out;
  if (const int fault = Fault("RemoveData", guids.size())) {
    requestStatus = fault < 0 ? 0 : fault;
    return out;
  }
  requestStatus = 200;
  for (const WString& guid : guids) {
    int status = ItemStatus(guid);
    if (status >= 200 && status <= 300) status = records.erase(guid) ? 200 : 404;
    out[guid] = status;
  }
  return out;
}

}  // namespace testing
}  // namespace quillet
