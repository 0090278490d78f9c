#include "tools/sync_server/sync_service.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <unordered_map>
#include <unordered_set>

namespace quillet::syncserver {
namespace {

using Clock = std::chrono::steady_clock;

bool ParseJson(const std::string& text, Json::Value* root, std::string* error) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    return reader->parse(text.data(), text.data() + text.size(), root, error);
  } catch (const std::exception& e) {  // e.g. nesting deeper than the reader's stack limit
    *error = e.what();
    return false;
  }
}

std::string WriteJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

ServiceResponse Answer(int http_status, int code, const std::string& message,
                       Json::Value body = Json::Value(Json::objectValue)) {
  body["result"]["code"] = code;
  body["result"]["msg"] = message;
  ServiceResponse response;
  response.http_status = http_status;
  response.body = WriteJson(body);
  return response;
}

ServiceResponse Ok(Json::Value body) { return Answer(200, 200, "ok", std::move(body)); }

ServiceResponse BadRequest(const std::string& message) { return Answer(400, 400, message); }

ServiceResponse Locked(const std::string& message) { return Answer(423, kCodeLocked, message); }

// Empty bodies are allowed where the client may send one (an empty list); anything else
// must be a JSON object.
bool ParseObjectBody(const std::string& body, Json::Value* root, ServiceResponse* failure) {
  std::string error;
  if (!ParseJson(body, root, &error)) {
    *failure = BadRequest("malformed JSON body: " + error);
    return false;
  }
  if (!root->isObject()) {
    *failure = BadRequest("JSON body must be an object");
    return false;
  }
  return true;
}

bool IsKnownOperation(const std::string& op) {
  return op == "LOCK" || op == "KEEPLOCK" || op == "UNLOCK" || op == "PROPFIND" || op == "REPORT" ||
         op == "POST";
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-' || c == '+') return 62;
  if (c == '_' || c == '/') return 63;
  return -1;
}

// Accepts both alphabets, with or without "=" fill.
bool DecodeBase64(const std::string& text, std::string* out) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '=') --end;
  if (end % 4 == 1) return false;
  out->clear();
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < end; ++i) {
    int v = Base64Value(text[i]);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out->push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "+" is a blank and "%XX" a byte; a stray "%" is kept as it is.
std::string UrlDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Props arrive as an object or null; anything else is refused.
bool ReadProps(const Json::Value& item, std::string* props, std::string* error) {
  if (!item.isMember("props") || item["props"].isNull()) return true;
  if (!item["props"].isObject()) {
    *error = "\"props\" must be an object";
    return false;
  }
  *props = WriteJson(item["props"]);
  return true;
}

bool ReadString(const Json::Value& item, const char* key, std::string* out, std::string* error) {
  if (!item.isMember(key) || !item[key].isString()) {
    *error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  *out = item[key].asString();
  return true;
}

Json::Value PropsWithEtag(const Record& record) {
  Json::Value props(Json::objectValue);
  if (!record.props.empty()) {
    Json::Value stored;
    std::string ignored;
    if (ParseJson(record.props, &stored, &ignored) && stored.isObject()) props = stored;
  }
  props["etag"] = record.etag;
  return props;
}

}  // namespace

bool ParseSyncPath(const std::string& path, SpaceKey* space, std::string* collection) {
  static const std::string kMarker = "/vastre/";
  size_t at = path.find(kMarker);
  if (at == std::string::npos) return false;
  std::vector<std::string> parts;
  size_t start = at + kMarker.size();
  while (true) {
    size_t slash = path.find('/', start);
    parts.push_back(path.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  for (const std::string& part : parts) {
    if (part.empty()) return false;
  }
  *space = {parts[0], parts[1]};
  *collection = parts.size() == 3 ? parts[2] : std::string();
  return true;
}

bool ParseAccessToken(const std::string& authorization, std::string* token) {
  std::string credential;
  if (authorization.empty() || !DecodeBase64(authorization, &credential)) return false;
  // prefix:device:app:(empty):token; the token is everything after the fourth colon.
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    at = credential.find(':', at);
    if (at == std::string::npos) return false;
    ++at;
  }
  *token = UrlDecode(credential.substr(at));
  // A credential without a token authenticates nobody.
  return !token->empty();
}

SyncService::SyncService(std::unique_ptr<SyncState> state, ServiceOptions options)
    : state_(std::move(state)), options_(options) {
  if (options_.interval_seconds < 1) options_.interval_seconds = 1;
}

ServiceResponse SyncService::Handle(const ServiceRequest& request) {
  Target target;
  if (!ParseSyncPath(request.path, &target.space, &target.collection)) {
    return Answer(404, 404, "unknown path; expected .../vastre/USER/TYPE[/COLLECTION]");
  }
  std::string operation = request.method;
  std::transform(operation.begin(), operation.end(), operation.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });

  ServiceResponse response;
  std::string token;
  if (!ParseAccessToken(request.authorization, &token)) {
    response = Answer(401, 401, "missing or unreadable Authorization header");
  } else if (!IsKnownOperation(operation)) {
    response = BadRequest("unknown or missing method parameter: \"" + request.method + "\"");
  } else {
    try {
      std::lock_guard<std::mutex> guard(mutex_);
      if (expired_tokens_.count(token)) {
        response = Answer(402, kCodeTokenExpired, "access token expired");
      } else {
        response = Dispatch(request, target, operation);
      }
    } catch (const std::exception& e) {
      response = Answer(500, 500, std::string("internal error: ") + e.what());
    }
  }
  response.operation = IsKnownOperation(operation) ? operation : std::string();
  response.user = target.space.first;
  response.sync_type = target.space.second;
  response.collection = target.collection;
  return response;
}

ServiceResponse SyncService::Dispatch(const ServiceRequest& request, const Target& target,
                                      const std::string& operation) {
  bool base_only = operation == "LOCK" || operation == "KEEPLOCK" || operation == "UNLOCK";
  bool collection_only = operation == "REPORT" || operation == "POST";
  if (base_only && !target.collection.empty()) {
    return BadRequest(operation + " applies to the sync type, not to a collection");
  }
  if (collection_only && target.collection.empty()) {
    return BadRequest(operation + " needs a collection in the path");
  }
  if (operation == "LOCK") return DoLock(target, request.lock_token);
  if (operation == "KEEPLOCK") return DoKeepLock(target, request.lock_token);
  if (operation == "UNLOCK") return DoUnlock(target, request.lock_token);
  if (operation == "PROPFIND") return DoPropfind(target, request.body);
  if (operation == "REPORT") return DoReport(target, request.body);
  return DoPost(target, request.body, request.lock_token);
}

// ---- Locks.

std::chrono::milliseconds SyncService::LockTimeout() const {
  if (options_.lock_timeout_ms > 0) return std::chrono::milliseconds(options_.lock_timeout_ms);
  return std::chrono::milliseconds(3000LL * options_.interval_seconds);
}

const SyncService::Lock* SyncService::LiveLock(const SpaceKey& space) const {
  auto it = locks_.find(space);
  if (it == locks_.end() || it->second.expires <= Clock::now()) return nullptr;
  return &it->second;
}

bool SyncService::LockedByOther(const SpaceKey& space, const std::string& token) const {
  const Lock* lock = LiveLock(space);
  return lock && lock->token != token;
}

namespace {

Json::Value CtagList(const std::vector<std::pair<std::string, const Collection*>>& collections) {
  Json::Value list(Json::arrayValue);
  for (const auto& [name, collection] : collections) {
    Json::Value item;
    item["guid"] = name;
    item["props"]["ctag"] = collection->Ctag();
    list.append(std::move(item));
  }
  return list;
}

}  // namespace

ServiceResponse SyncService::DoLock(const Target& target, const std::string& token) {
  if (LockedByOther(target.space, token)) return Locked("locked by another client");
  Lock& lock = locks_[target.space];
  lock.token = state_->NewId();
  lock.expires = Clock::now() + LockTimeout();
  Json::Value body;
  body["interval"] = options_.interval_seconds;
  body["multistatus"] = CtagList(state_->Collections(target.space));
  ServiceResponse response = Ok(std::move(body));
  response.lock_token = lock.token;
  return response;
}

ServiceResponse SyncService::DoKeepLock(const Target& target, const std::string& token) {
  const Lock* live = LiveLock(target.space);
  if (!live) return Locked("no live lock to keep; LOCK again");
  if (live->token != token) return Locked("locked by another client");
  locks_[target.space].expires = Clock::now() + LockTimeout();
  Json::Value body;
  body["interval"] = options_.interval_seconds;
  return Ok(std::move(body));
}

ServiceResponse SyncService::DoUnlock(const Target& target, const std::string& token) {
  if (LockedByOther(target.space, token)) return Locked("locked by another client");
  locks_.erase(target.space);  // ours, or expired
  Json::Value body;
  body["updatersp"] = CtagList(state_->Collections(target.space));
  return Ok(std::move(body));
}

// ---- Reads.

ServiceResponse SyncService::DoPropfind(const Target& target, const std::string& body) {
  if (!body.empty()) {
    Json::Value root;
    ServiceResponse failure;
    if (!ParseObjectBody(body, &root, &failure)) return failure;
    if (root.isMember("propname") && !root["propname"].isArray()) {
      return BadRequest("\"propname\" must be an array");
    }
  }
  Json::Value answer;
  if (target.collection.empty()) {
    answer["multistatus"] = CtagList(state_->Collections(target.space));
    return Ok(std::move(answer));
  }
  Json::Value list(Json::arrayValue);
  if (const Collection* c = state_->Find(target.space, target.collection)) {
    list.resize(static_cast<Json::ArrayIndex>(c->records.size()));
    Json::ArrayIndex i = 0;
    for (const auto& [guid, record] : c->records) {
      Json::Value& item = list[i++];
      item["guid"] = guid;
      item["props"]["etag"] = record.etag;
    }
  }
  answer["multistatus"] = std::move(list);
  return Ok(std::move(answer));
}

ServiceResponse SyncService::DoReport(const Target& target, const std::string& body) {
  Json::Value answer;
  answer["multistatus"] = Json::Value(Json::arrayValue);
  if (body.empty()) return Ok(std::move(answer));
  Json::Value root;
  ServiceResponse failure;
  if (!ParseObjectBody(body, &root, &failure)) return failure;
  const Json::Value& guids = root["guids"];
  if (!guids.isArray()) return BadRequest("\"guids\" must be an array");
  for (const Json::Value& guid : guids) {
    if (!guid.isString()) return BadRequest("every guid must be a string");
  }
  const Collection* c = state_->Find(target.space, target.collection);
  if (!c) return Ok(std::move(answer));
  // Unknown guids are left out: the client would take an element without data for an
  // empty record.
  std::unordered_set<std::string> seen;
  for (const Json::Value& value : guids) {
    std::string guid = value.asString();
    auto it = c->records.find(guid);
    if (it == c->records.end() || !seen.insert(guid).second) continue;
    Json::Value item;
    item["guid"] = guid;
    item["data"] = it->second.data;
    item["props"] = PropsWithEtag(it->second);
    answer["multistatus"].append(std::move(item));
  }
  return Ok(std::move(answer));
}

// ---- Writes.

size_t SyncService::LimitFor(const std::string& collection) const {
  auto it = collection_limits_.find(collection);
  return it != collection_limits_.end() ? it->second : options_.record_limit;
}

ServiceResponse SyncService::DoPost(const Target& target, const std::string& body,
                                    const std::string& token) {
  if (LockedByOther(target.space, token)) return Locked("locked by another client");
  if (body.empty()) {
    // An empty list gives an empty body; there is nothing to do.
    Json::Value answer;
    answer["addrsp"] = Json::Value(Json::arrayValue);
    answer["updatersp"] = Json::Value(Json::arrayValue);
    answer["removersp"] = Json::Value(Json::arrayValue);
    return Ok(std::move(answer));
  }
  Json::Value root;
  ServiceResponse failure;
  if (!ParseObjectBody(body, &root, &failure)) return failure;
  int kinds = root.isMember("add") + root.isMember("update") + root.isMember("remove");
  if (kinds != 1) return BadRequest("body needs exactly one of \"add\", \"update\", \"remove\"");
  const char* kind = root.isMember("add") ? "add" : root.isMember("update") ? "update" : "remove";
  const Json::Value& items = root[kind];
  if (!items.isArray()) return BadRequest(std::string("\"") + kind + "\" must be an array");
  if (root.isMember("add")) return PostAdd(target, items);
  if (root.isMember("update")) return PostUpdate(target, items);
  return PostRemove(target, items);
}

// Every item is checked before anything is stored, so a bad batch leaves no trace.
ServiceResponse SyncService::PostAdd(const Target& target, const Json::Value& items) {
  struct Item {
    std::string luid, data, props;
  };
  std::vector<Item> parsed;
  parsed.reserve(items.size());
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    const Json::Value& item = items[i];
    Item out;
    std::string error;
    if (!item.isObject()) error = "must be an object";
    if (error.empty() && ReadString(item, "luid", &out.luid, &error) &&
        ReadString(item, "data", &out.data, &error)) {
      ReadProps(item, &out.props, &error);
    }
    if (!error.empty()) return BadRequest("add item " + std::to_string(i) + ": " + error);
    parsed.push_back(std::move(out));
  }

  const Collection* c = state_->Find(target.space, target.collection);
  size_t present = c ? c->records.size() : 0;
  size_t limit = LimitFor(target.collection);
  if (limit > 0 && present + parsed.size() > limit) {
    int code = target.collection == "pcbookmark" ? kCodePcBookmarkLimit : kCodeBookmarkLimit;
    return Answer(403, code,
                  "collection full: " + std::to_string(present) + " of " + std::to_string(limit) +
                      " records, " + std::to_string(parsed.size()) + " more refused");
  }

  std::vector<Change> changes;
  changes.reserve(parsed.size());
  std::unordered_set<std::string> fresh;
  for (const Item& item : parsed) {
    std::string guid;
    do {
      guid = state_->NewId();
    } while ((c && c->records.count(guid)) || !fresh.insert(guid).second);
    changes.push_back(Change{Change::Kind::kPut, guid, item.data, item.props});
  }
  std::vector<std::string> etags;
  std::string error;
  if (!state_->Apply(target.space, target.collection, changes, &etags, &error)) {
    return Answer(500, 500, error);
  }
  Json::Value answer;
  Json::Value& list = answer["addrsp"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < parsed.size(); ++i) {
    Json::Value item;
    item["guid"] = changes[i].guid;
    item["luid"] = parsed[i].luid;
    item["status"] = 201;
    item["props"]["etag"] = etags[i];
    list.append(std::move(item));
  }
  return Ok(std::move(answer));
}

ServiceResponse SyncService::PostUpdate(const Target& target, const Json::Value& items) {
  struct Item {
    std::string guid, data, props;
    bool has_props = false;
  };
  std::vector<Item> parsed;
  parsed.reserve(items.size());
  for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
    const Json::Value& item = items[i];
    Item out;
    std::string error;
    if (!item.isObject()) error = "must be an object";
    if (error.empty() && ReadString(item, "guid", &out.guid, &error) &&
        ReadString(item, "data", &out.data, &error)) {
      out.has_props = item.isMember("props") && !item["props"].isNull();
      ReadProps(item, &out.props, &error);
    }
    if (!error.empty()) return BadRequest("update item " + std::to_string(i) + ": " + error);
    parsed.push_back(std::move(out));
  }

  const Collection* c = state_->Find(target.space, target.collection);
  std::vector<Change> changes;
  std::vector<bool> known(parsed.size(), false);
  for (size_t i = 0; i < parsed.size(); ++i) {
    const Item& item = parsed[i];
    if (!c) break;
    auto it = c->records.find(item.guid);
    if (it == c->records.end()) continue;
    known[i] = true;
    // Without new props the record keeps the ones it had.
    changes.push_back(Change{Change::Kind::kPut, item.guid, item.data,
                             item.has_props ? item.props : it->second.props});
  }
  std::vector<std::string> etags;
  std::string error;
  if (!changes.empty() &&
      !state_->Apply(target.space, target.collection, changes, &etags, &error)) {
    return Answer(500, 500, error);
  }
  // A guid sent twice ends with the later data; both answers carry that final etag.
  std::unordered_map<std::string, std::string> final_etag;
  for (size_t i = 0; i < changes.size(); ++i) final_etag[changes[i].guid] = etags[i];

  Json::Value answer;
  Json::Value& list = answer["updatersp"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < parsed.size(); ++i) {
    Json::Value item;
    item["guid"] = parsed[i].guid;
    if (known[i]) {
      item["status"] = 200;
      item["props"]["etag"] = final_etag[parsed[i].guid];
    } else {
      item["status"] = 404;
    }
    list.append(std::move(item));
  }
  return Ok(std::move(answer));
}

ServiceResponse SyncService::PostRemove(const Target& target, const Json::Value& guids) {
  for (Json::ArrayIndex i = 0; i < guids.size(); ++i) {
    if (!guids[i].isString()) {
      return BadRequest("remove item " + std::to_string(i) + ": must be a string");
    }
  }
  const Collection* c = state_->Find(target.space, target.collection);
  std::vector<Change> changes;
  std::unordered_set<std::string> removed;
  std::vector<int> status(guids.size(), 404);
  for (Json::ArrayIndex i = 0; i < guids.size(); ++i) {
    std::string guid = guids[i].asString();
    if (removed.count(guid)) {
      status[i] = 200;
    } else if (c && c->records.count(guid)) {
      status[i] = 200;
      removed.insert(guid);
      changes.push_back(Change{Change::Kind::kRemove, guid, "", ""});
    }
  }
  std::string error;
  if (!changes.empty() &&
      !state_->Apply(target.space, target.collection, changes, nullptr, &error)) {
    return Answer(500, 500, error);
  }
  Json::Value answer;
  Json::Value& list = answer["removersp"] = Json::Value(Json::arrayValue);
  for (Json::ArrayIndex i = 0; i < guids.size(); ++i) {
    Json::Value item;
    item["guid"] = guids[i].asString();
    item["status"] = status[i];
    list.append(std::move(item));
  }
  return Ok(std::move(answer));
}

// ---- Inspection, seeding and settings.

std::vector<RecordView> SyncService::Records(const SpaceKey& space,
                                             const std::string& collection) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<RecordView> out;
  if (const Collection* c = state_->Find(space, collection)) {
    out.reserve(c->records.size());
    for (const auto& [guid, r] : c->records) out.push_back({guid, r.etag, r.data, r.props});
  }
  return out;
}

std::optional<RecordView> SyncService::FindRecord(const SpaceKey& space,
                                                  const std::string& collection,
                                                  const std::string& guid) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Collection* c = state_->Find(space, collection);
  if (!c) return std::nullopt;
  auto it = c->records.find(guid);
  if (it == c->records.end()) return std::nullopt;
  return RecordView{guid, it->second.etag, it->second.data, it->second.props};
}

std::string SyncService::Ctag(const SpaceKey& space, const std::string& collection) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Collection* c = state_->Find(space, collection);
  return c ? c->Ctag() : std::string();
}

std::string SyncService::PutRecord(const SpaceKey& space, const std::string& collection,
                                   const std::string& guid, const std::string& data,
                                   const std::string& props) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> etags;
  std::string error;
  Change change{Change::Kind::kPut, guid, data, props};
  if (!state_->Apply(space, collection, {change}, &etags, &error)) return std::string();
  return etags[0];
}

bool SyncService::RemoveRecord(const SpaceKey& space, const std::string& collection,
                               const std::string& guid) {
  std::lock_guard<std::mutex> guard(mutex_);
  const Collection* c = state_->Find(space, collection);
  if (!c || !c->records.count(guid)) return false;
  std::string error;
  return state_->Apply(space, collection, {Change{Change::Kind::kRemove, guid, "", ""}}, nullptr,
                       &error);
}

void SyncService::SetInterval(int seconds) {
  std::lock_guard<std::mutex> guard(mutex_);
  options_.interval_seconds = std::max(1, seconds);
}

void SyncService::SetLockTimeout(int milliseconds) {
  std::lock_guard<std::mutex> guard(mutex_);
  options_.lock_timeout_ms = std::max(0, milliseconds);
}

void SyncService::SetRecordLimit(size_t limit) {
  std::lock_guard<std::mutex> guard(mutex_);
  options_.record_limit = limit;
}

void SyncService::SetCollectionLimit(const std::string& collection, size_t limit) {
  std::lock_guard<std::mutex> guard(mutex_);
  collection_limits_[collection] = limit;
}

void SyncService::ExpireToken(const std::string& token) {
  std::lock_guard<std::mutex> guard(mutex_);
  expired_tokens_.insert(token);
}

void SyncService::RenewToken(const std::string& token) {
  std::lock_guard<std::mutex> guard(mutex_);
  expired_tokens_.erase(token);
}

std::string SyncService::LockHolder(const SpaceKey& space) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Lock* lock = LiveLock(space);
  return lock ? lock->token : std::string();
}

void SyncService::ExpireLocks() {
  std::lock_guard<std::mutex> guard(mutex_);
  locks_.clear();
}

}  // namespace quillet::syncserver
