#include "bench/floor_protocol.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace quillet {
namespace bench {
namespace {

// The library's escaping of values placed in bodies.
void AppendEscaped(const std::string& text, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (c < 0x20) {
          *out += "\\u00";
          *out += kHex[c >> 4];
          *out += kHex[c & 0xF];
        } else {
          *out += ch;
        }
    }
  }
}

std::unique_ptr<Json::CharReader> NewReader() {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = false;
  builder["strictRoot"] = true;
  builder["rejectDupKeys"] = true;
  return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

const Json::Value* Member(const Json::Value& object, const char* name) {
  if (!object.isObject()) return nullptr;
  return object.find(name, name + std::char_traits<char>::length(name));
}

std::string Text(const Json::Value& object, const char* name) {
  const Json::Value* member = Member(object, name);
  return member != nullptr && !member->isNull() ? member->asString() : std::string();
}

std::string PropText(const Json::Value& element, const char* name) {
  const Json::Value* props = Member(element, "props");
  return props != nullptr ? Text(*props, name) : std::string();
}

// The named array of a 2xx answer, or null when the answer lacks it.
const Json::Value* ArrayOf(const Json::Value& root, const char* name) {
  const Json::Value* array = Member(root, name);
  return array != nullptr && array->isArray() ? array : nullptr;
}

int SaneInterval(int seconds) { return seconds < 1 ? 60 : std::min(seconds, 3600); }

void ReadCtags(const Json::Value& array, CtagMap* ctags) {
  for (const Json::Value& element : array)
    (*ctags)[Text(element, "guid")] = PropText(element, "ctag");
}

}  // namespace

std::string DownloadBody(const std::vector<std::string>& guids) {
  if (guids.empty()) return std::string();
  std::string body = "{ \"guids\":[";
  for (size_t i = 0; i < guids.size(); ++i) {
    if (i != 0) body += ',';
    body += '"';
    AppendEscaped(guids[i], &body);
    body += '"';
  }
  return body + "],\"propname\" : [] }";
}

std::string AddBody(const std::vector<LuidData>& items) {
  if (items.empty()) return std::string();
  std::string body = "{\"add\":[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) body += ',';
    body += "{\"luid\":\"";
    AppendEscaped(items[i].first, &body);
    body += "\",\"data\":\"";
    AppendEscaped(items[i].second, &body);
    body += "\"}";
  }
  return body + "]}";
}

FloorProtocol::FloorProtocol(FloorTransport& transport, const std::string& serverUrl,
                             const std::string& user, const std::string& syncType)
    : transport_(transport),
      baseUrl_(serverUrl + "vastre/" + user + "/" + syncType),
      reader_(NewReader()) {}

FloorProtocol::~FloorProtocol() { StopKeepAlive(); }

int FloorProtocol::Send(const std::string& url, const std::string& body, Json::CharReader& reader,
                        Json::Value* root) {
  std::string answer;
  int status = transport_.Post(url, body, &answer);
  *root = Json::Value();
  if (status == 0 || answer.empty()) return status;
  std::string errors;
  try {
    if (!reader.parse(answer.data(), answer.data() + answer.size(), root, &errors)) {
      *root = Json::Value();
      return IsSuccess(status) ? 0 : status;
    }
    if (const Json::Value* result = Member(*root, "result")) {
      if (const Json::Value* code = Member(*result, "code")) status = code->asInt();
    }
  } catch (const std::exception&) {
    return 0;  // a member of the wrong type: no answer to use
  }
  if (!IsSuccess(status)) *root = Json::Value();
  return status;
}

int FloorProtocol::Lock(CtagMap* ctags) {
  Json::Value root;
  const int status = Send(baseUrl_ + "?method=LOCK", std::string(), *reader_, &root);
  if (!IsSuccess(status)) return status;
  try {
    const Json::Value* array = ArrayOf(root, "multistatus");
    if (array != nullptr) ReadCtags(*array, ctags);
    std::lock_guard<std::mutex> lock(timerMutex_);
    if (const Json::Value* interval = Member(root, "interval")) {
      intervalSeconds_ = SaneInterval(interval->asInt());
    }
    if (!timer_.joinable()) {
      stopTimer_ = false;
      timer_ = std::thread(&FloorProtocol::KeepAlive, this);
    }
  } catch (const std::exception&) {
    return 0;
  }
  return status;
}

void FloorProtocol::KeepAlive() {
  const std::unique_ptr<Json::CharReader> reader = NewReader();  // this thread's own
  std::unique_lock<std::mutex> lock(timerMutex_);
  while (!stopTimer_) {
    const auto period = std::chrono::seconds(intervalSeconds_);
    if (timerWake_.wait_for(lock, period, [this] { return stopTimer_; })) break;
    lock.unlock();
    Json::Value root;
    const int status = Send(baseUrl_ + "?method=KEEPLOCK", std::string(), *reader, &root);
    lock.lock();
    try {
      const Json::Value* interval = IsSuccess(status) ? Member(root, "interval") : nullptr;
      if (interval != nullptr) intervalSeconds_ = SaneInterval(interval->asInt());
    } catch (const std::exception&) {
      // the period stays
    }
  }
}

void FloorProtocol::StopKeepAlive() {
  {
    std::lock_guard<std::mutex> lock(timerMutex_);
    stopTimer_ = true;
  }
  timerWake_.notify_all();
  if (timer_.joinable()) timer_.join();
}

int FloorProtocol::Unlock(CtagMap* ctags) {
  Json::Value root;
  const int status = Send(baseUrl_ + "?method=UNLOCK", std::string(), *reader_, &root);
  StopKeepAlive();
  if (!IsSuccess(status)) return status;
  try {
    if (const Json::Value* array = ArrayOf(root, "updatersp")) ReadCtags(*array, ctags);
  } catch (const std::exception&) {
    return 0;
  }
  return status;
}

int FloorProtocol::GetEtagList(const std::string& dataType, std::vector<CloudEtag>* etags) {
  Json::Value root;
  const int status = Send(baseUrl_ + "/" + dataType + "?method=PROPFIND",
                          "{\"propname\":[\"etag\"]}", *reader_, &root);
  if (!IsSuccess(status)) return status;
  const Json::Value* array = ArrayOf(root, "multistatus");
  if (array == nullptr) return 0;
  try {
    etags->reserve(etags->size() + array->size());
    for (const Json::Value& element : *array) {
      etags->push_back(CloudEtag{Text(element, "guid"), PropText(element, "etag")});
    }
  } catch (const std::exception&) {
    return 0;
  }
  return status;
}

int FloorProtocol::Download(const std::string& dataType, const std::vector<std::string>& guids,
                            std::vector<CloudRecord>* records) {
  Json::Value root;
  const int status =
      Send(baseUrl_ + "/" + dataType + "?method=REPORT", DownloadBody(guids), *reader_, &root);
  if (!IsSuccess(status)) return status;
  const Json::Value* array = ArrayOf(root, "multistatus");
  if (array == nullptr) return 0;
  try {
    for (const Json::Value& element : *array) {
      records->push_back(CloudRecord{Text(element, "guid"), Text(element, "data")});
    }
  } catch (const std::exception&) {
    return 0;
  }
  return status;
}

int FloorProtocol::Add(const std::string& dataType, const std::vector<LuidData>& items,
                       std::map<std::string, AddAnswer>* answers) {
  Json::Value root;
  const int status =
      Send(baseUrl_ + "/" + dataType + "?method=POST", AddBody(items), *reader_, &root);
  if (!IsSuccess(status)) return status;
  const Json::Value* array = ArrayOf(root, "addrsp");
  if (array == nullptr) return 0;
  try {
    for (const Json::Value& element : *array) {
      const Json::Value* itemStatus = Member(element, "status");
      answers->emplace(Text(element, "luid"),
                       AddAnswer{Text(element, "guid"), itemStatus ? itemStatus->asInt() : 0,
                                 PropText(element, "etag")});
    }
  } catch (const std::exception&) {
    return 0;
  }
  return status;
}

}  // namespace bench
}  // namespace quillet
