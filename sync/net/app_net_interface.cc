#include "sync/net/app_net_interface.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <set>

#include "sync/log/logger.h"
#include "sync/log/md5.h"
#include "sync/net/json_util.h"
#include "sync/platform/platform.h"

namespace quillet {
namespace {

bool IsSuccess(int status) { return status >= 200 && status <= 299; }

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A member read as text/int, or the default when absent.
WString TextOf(const Json::Value& object, const char* name) {
  const Json::Value* member = FindMember(object, name);
  return member ? ReadText(*member) : WString();
}

int IntOf(const Json::Value& object, const char* name, int fallback) {
  const Json::Value* member = FindMember(object, name);
  return member ? ReadInt(*member) : fallback;
}

// "props"."name" as text; a missing or null "props" has no members.
WString PropText(const Json::Value& element, const char* name) {
  const Json::Value* props = FindMember(element, "props");
  return props ? TextOf(*props, name) : WString();
}

void LogDecodeError(const char16_t* operation, const std::exception& e) {
  LogError(u"analyze response of \"", WString(operation), u"\" error: ", Utf8ToWide(e.what()));
}

// How much of an answer could be read.
enum class Decoded {
  kComplete,   // every element of the array was decoded
  kNoArray,    // a whole, well-formed document without the array (or not an object)
  kIncomplete  // cut off, not JSON, a duplicate member or a member of the wrong type
};

void LogIncomplete(const char16_t* operation, const std::string& errors) {
  // The parser's message spans lines ("* Line 1, Column 9\n  Missing ..."): one log line.
  std::string message;
  for (const char c : errors) {
    if (c == '\n') {
      if (!message.empty() && message.back() != ' ') message += ' ';
    } else if (c != ' ' || (!message.empty() && message.back() != ' ')) {
      message += c;
    }
  }
  while (!message.empty() && message.back() == ' ') message.pop_back();
  LogError(u"analyze response of \"", WString(operation), u"\" error: ", Utf8ToWide(message));
}

// Parses one answer completely; logs the parser's message under the operation's name.
bool ParseAnswer(const ParsedAnswer& parsed, const char16_t* operation) {
  if (parsed.complete) return true;
  LogIncomplete(operation, parsed.errors);
  return false;
}

// Calls each(element) for every element of root[arrayName]. Only kComplete means the answer
// may be used: a shorter list read from a broken answer would look like records deleted or
// refused in the cloud.
template <typename Each>
Decoded WalkArray(const Json::Value& root, const char* arrayName, const char16_t* formatMessage,
                  const char16_t* operation, Each each) {
  const Json::Value* array = FindMember(root, arrayName);
  if (array == nullptr || !array->isArray()) {
    LogError(formatMessage);
    return Decoded::kNoArray;
  }
  try {
    // In index order; an iterator walks jsoncpp's element map instead of a search per index.
    for (const Json::Value& element : *array) each(element);
  } catch (const std::exception& e) {
    LogDecodeError(operation, e);
    return Decoded::kIncomplete;
  }
  return Decoded::kComplete;
}

template <typename Each>
Decoded DecodeArray(const ParsedAnswer& parsed, const char* arrayName,
                    const char16_t* formatMessage, const char16_t* operation, Each each) {
  if (!ParseAnswer(parsed, operation)) return Decoded::kIncomplete;
  return WalkArray(parsed.root, arrayName, formatMessage, operation, each);
}

// The status a data operation reports for its answer: the data operations (etag list,
// download, add, update, remove) need their whole list, anything less is no answer.
int DataStatus(int status, Decoded decoded, const char16_t* operation) {
  if (decoded == Decoded::kComplete) return status;
  LogError(u"\"", WString(operation), u"\" answer not read completely, operation failed");
  return 0;
}

// Moves what was read to the end of out; into an empty out without touching an element.
template <typename List>
void AppendAll(List& read, List& out) {
  if (out.empty()) {
    out.swap(read);
    return;
  }
  out.insert(out.end(), std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
}

// A ctag element: the later of two entries for one collection wins.
void AddCtag(const Json::Value& element, CtagMap& ctags) {
  CtagItem item;
  item.ctag_name = TextOf(element, "guid");
  item.ctag_value = PropText(element, "ctag");
  const WString key = item.ctag_name;
  ctags[key] = std::move(item);
}

const Json::Value kNoMembers(Json::objectValue);

const char16_t kLockFormat[] = u"\"Lock\" response format(json) not match!";
const char16_t kQueryCtagFormat[] = u"\"QueryCtag\" response format(json) not match!";

// The ctag answers of UNLOCK and PROPFIND into ctags, all or nothing. A whole answer without
// its array keeps its status (an empty map: an absent ctag only makes the next round compare
// again); a broken answer is no answer.
int DecodeCtags(const ParsedAnswer& parsed, const char* arrayName, const char16_t* operation,
                int status, CtagMap& ctags) {
  CtagMap read;
  const Decoded decoded =
      DecodeArray(parsed, arrayName, kQueryCtagFormat, operation,
                  [&read](const Json::Value& element) { AddCtag(element, read); });
  if (decoded == Decoded::kIncomplete) return 0;
  for (auto& entry : read) ctags[entry.first] = std::move(entry.second);
  return status;
}
const char16_t kEtagFormat[] = u"\"GetEtagList\" response format(json) not match!";
const char16_t kDownloadFormat[] = u"\"DownloadData\" response format(json) not match!";
const char16_t kAddFormat[] = u"\"MakeAddDataResult\" response format(json) not match!";
const char16_t kUpdateFormat[] = u"\"UpdateData\" response format(json) not match!";
const char16_t kRemoveFormat[] = u"\"RemoveData\" response format(json) not match!";

// Items of an add or update body: {"<key>":"K","data":"D"[,"props":{...}]} joined by commas.
WString UploadBody(const char16_t* array, const char16_t* key, const WString& dataType,
                   const TextPairList& items) {
  if (items.empty()) return WString();
  const bool withHash = !AppNetInterface::IsNoHashDataType(dataType);
  size_t size = 16;
  for (const auto& item : items) size += item.first.size() + item.second.size() + 96;
  WString body;
  body.reserve(size);  // a guess: escapes may still grow it
  body += u"{\"";
  body += array;
  body += u"\":[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) body += u",";
    body += u"{\"";
    body += key;
    body += u"\":\"";
    AppendJsonEscaped(items[i].first, &body);
    body += u"\",\"data\":\"";
    AppendJsonEscaped(items[i].second, &body);
    body += u"\"";
    if (withHash) {
      // A hex digest needs no escaping.
      const std::string hash = Md5Hex(platform::WideToAnsi(items[i].second));
      body += u",\"props\":{\"status\":2,\"hash\":\"";
      body.append(hash.begin(), hash.end());
      body += u"\"}";
    }
    body += u"}";
  }
  body += u"]}";
  return body;
}

WString QuotedList(const TextList& values) {
  WString list;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) list += u",";
    list += u"\"" + JsonEscape(values[i]) + u"\"";
  }
  return list;
}

}  // namespace

WString AppNetInterface::PathSegment(const WString& text) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  // Real ids are made of unreserved characters only, and stay exactly as they are.
  const std::string bytes = WideToUtf8(text);
  // A segment of dots only ("." or "..") would be read as a step up the path by the
  // server or a proxy: UserID ".." would send the round to another user's space.
  const bool onlyDots = !bytes.empty() && bytes.find_first_not_of('.') == std::string::npos;
  WString out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        (c == '.' && !onlyDots) || c == '_' || c == '~') {
      out += static_cast<char16_t>(c);
    } else {
      out += u'%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

AppNetInterface::AppNetInterface(const NetConfig& config)
    : BaseNetInterface(config),
      baseUrl_(config.SyncServerUrl + u"vastre/" + PathSegment(config.UserID) + u"/" +
               PathSegment(config.SyncType)) {}

WString AppNetInterface::TypeUrl(const WString& dataType, const char16_t* method) const {
  return baseUrl_ + u"/" + PathSegment(dataType) + method;
}

AppNetInterface::~AppNetInterface() { StopRenewals(); }

void AppNetInterface::StopRenewals() {
  renewalCancel_ = true;
  StopTimer();
}

void AppNetInterface::MarkLockLost(const WString& why) {
  if (!lockHeld_.load() || lockLost_.exchange(true)) return;
  LogError(u"The cloud lock of this round was lost (", why,
           u"): no further write is sent in this round and its ctags are not stored");
}

bool AppNetInterface::LockLost() {
  if (lockLost_.load()) return true;
  if (!lockHeld_.load()) return false;
  const long long period = static_cast<long long>(interval_.load()) * 1000;
  const long long age = NowMs() - confirmedAtMs_.load();
  if (age <= period + period / 2) return false;
  MarkLockLost(u"no LOCK or KEEPLOCK held it for " + ToWide(age) + u" ms, interval " +
               ToWide(interval_.load()) + u" s");
  return lockLost_.load();
}

bool AppNetInterface::RefuseWrite(const char16_t* operation, int& status) {
  if (!LockLost()) return false;
  LogError(u"\"", WString(operation), u"\" not sent: the cloud lock of this round was lost");
  status = kLockLostStatus;
  return true;
}

bool AppNetInterface::IsNoHashDataType(const WString& dataType) {
  static const std::set<WString> kNoHash = {u"contact",  u"group",    u"atlastag", u"face",
                                            u"bookmark", u"infoflow", u"channel",  u"calendar",
                                            u"wlan",     u"note",     u"notetag",  u"shorthand"};
  return kNoHash.count(dataType) != 0;
}

int AppNetInterface::SaneInterval(int seconds) {
  int sane = seconds;
  if (seconds < kMinInterval) sane = kDefaultInterval;  // off, or a timer that never waits
  if (seconds > kMaxInterval) sane = kMaxInterval;      // the lock would expire first
  if (sane != seconds) {
    LogError(u"Keep-alive interval ", ToWide(seconds), u" out of range, using ", ToWide(sane));
  }
  return sane;
}

int AppNetInterface::PeriodOf(int interval) {
  return static_cast<int32_t>(static_cast<uint32_t>(interval) * 1000u);
}

WString AppNetInterface::DownloadBody(const TextList& guids) {
  if (guids.empty()) return WString();
  return u"{ \"guids\":[" + QuotedList(guids) + u"],\"propname\" : [] }";
}

WString AppNetInterface::AddBody(const WString& dataType, const TextPairList& items) {
  return UploadBody(u"add", u"luid", dataType, items);
}

WString AppNetInterface::UpdateBody(const WString& dataType, const TextPairList& items) {
  return UploadBody(u"update", u"guid", dataType, items);
}

WString AppNetInterface::RemoveBody(const TextList& guids) {
  if (guids.empty()) return WString();
  return u"{\"remove\":[" + QuotedList(guids) + u"]}";
}

int AppNetInterface::Lock(CtagMap& ctags) {
  std::string response;
  ParsedAnswer parsed;
  const long long sentAt = NowMs();
  const int status = SendRequest(baseUrl_ + u"?method=LOCK", WString(), response, parsed,
                                 RequestPolicy::Change(SmallAnswerMs()));
  if (!IsSuccess(status)) return status;
  // An empty LOCK answer grants the lock with nothing to tell: an object without members.
  if (!response.empty() && !ParseAnswer(parsed, u"Lock")) return 0;
  const Json::Value& root = response.empty() ? kNoMembers : parsed.root;
  if (!root.isObject()) return status;
  int interval = interval_.load();
  try {
    if (const Json::Value* member = FindMember(root, "interval")) {
      interval = SaneInterval(ReadInt(*member));
    }
  } catch (const std::exception& e) {
    LogDecodeError(u"Lock", e);
    return 0;
  }
  CtagMap read;
  const Decoded decoded =
      WalkArray(root, "multistatus", kLockFormat, u"Lock",
                [&read](const Json::Value& element) { AddCtag(element, read); });
  if (decoded == Decoded::kIncomplete) return 0;  // no timer: the round does not go on
  interval_ = interval;
  confirmedAtMs_ = sentAt;
  lockLost_ = false;
  lockHeld_ = true;
  // Also without ctags: such an answer still holds the lock.
  if (!TimerRunning()) StartTimer(PeriodOf(interval_));
  for (auto& entry : read) ctags[entry.first] = std::move(entry.second);
  return status;
}

int AppNetInterface::KeepLock() {
  const int status = Renew();
  if (!IsSuccess(status) && !renewalCancel_.load()) {
    MarkLockLost(u"KEEPLOCK answered " + ToWide(status));
  }
  return status;
}

int AppNetInterface::Renew() {
  std::string response;
  ParsedAnswer parsed;
  // Half an interval to answer, so that a renewal ends before the next one is due and a
  // lock that is no longer held is known as lost within an interval and a half.
  RequestPolicy policy = RequestPolicy::Change(
      std::min<long long>(SmallAnswerMs(), static_cast<long long>(interval_.load()) * 500));
  policy.cancel = &renewalCancel_;
  const long long sentAt = NowMs();
  const int status =
      SendRequest(baseUrl_ + u"?method=KEEPLOCK", WString(), response, parsed, policy);
  if (!IsSuccess(status)) return status;
  if (!response.empty() && !ParseAnswer(parsed, u"KeepLock")) return 0;
  const Json::Value& root = response.empty() ? kNoMembers : parsed.root;
  if (!root.isObject()) return status;
  try {
    if (const Json::Value* interval = FindMember(root, "interval")) {
      interval_ = SaneInterval(ReadInt(*interval));
    }
  } catch (const std::exception& e) {
    LogDecodeError(u"KeepLock", e);
    return 0;
  }
  // Two renewals never overlap (each ends within half an interval); still, only a later
  // send time may move the mark.
  long long confirmed = confirmedAtMs_.load();
  while (confirmed < sentAt && !confirmedAtMs_.compare_exchange_weak(confirmed, sentAt)) {
  }
  const int period = PeriodOf(interval_);
  // ChangeTimer itself ignores an idle timer and an unchanged period.
  if (TimerRunning() && period != Period()) ChangeTimer(period);
  return status;
}

int AppNetInterface::Unlock(CtagMap& ctags) {
  std::string response;
  ParsedAnswer parsed;
  // The timer stops, and a running tick ends, before UNLOCK goes out: a tick during the
  // request would send a KEEPLOCK that reaches the server after the lock was released.
  // A renewal stuck in its request is cut short rather than waited for.
  renewalCancel_ = true;
  StopTimer();
  renewalCancel_ = false;
  // Whether the lock was still held is judged as the release goes out, and kept.
  LockLost();
  lockHeld_ = false;
  const int status = SendRequest(baseUrl_ + u"?method=UNLOCK", WString(), response, parsed,
                                 RequestPolicy::Change(SmallAnswerMs()));
  if (!IsSuccess(status)) return status;
  return DecodeCtags(parsed, "updatersp", u"Unlock", status, ctags);
}

int AppNetInterface::QueryCtag(CtagMap& ctags) {
  std::string response;
  ParsedAnswer parsed;
  const int status =
      SendRequest(baseUrl_ + u"?method=PROPFIND", u"{\"propname\":[\"ctag\"]}", response, parsed);
  if (!IsSuccess(status)) return status;
  return DecodeCtags(parsed, "multistatus", u"QueryCtag", status, ctags);
}

int AppNetInterface::GetEtagList(const WString& dataType, std::vector<EtagItem>& etags) {
  std::string response;
  ParsedAnswer parsed;
  const int status = SendRequest(TypeUrl(dataType, u"?method=PROPFIND"),
                                 u"{\"propname\":[\"etag\"]}", response, parsed);
  if (!IsSuccess(status)) return status;
  std::string().swap(response);  // parsed: a long list's text need not stay beside its tree
  if (!ParseAnswer(parsed, u"GetEtagList")) {
    return DataStatus(status, Decoded::kIncomplete, u"GetEtagList");
  }
  // The root is this call's own: its list is taken apart while read.
  Json::Value* list = const_cast<Json::Value*>(FindMember(parsed.root, "multistatus"));
  if (list == nullptr || !list->isArray()) {
    LogError(kEtagFormat);
    return DataStatus(status, Decoded::kNoArray, u"GetEtagList");
  }
  std::vector<EtagItem> read;
  try {
    // From the back, each element dropped once read: the tree shrinks as the records grow,
    // so a long list never holds both whole (a tree element takes twice its record).
    read.reserve(list->size());
    for (Json::ArrayIndex i = list->size(); i-- > 0;) {
      const Json::Value& element = (*list)[i];
      EtagItem& item = read.emplace_back();
      item.guid = TextOf(element, "guid");
      item.etag = PropText(element, "etag");
      item.type = dataType;
      list->resize(i);
    }
  } catch (const std::exception& e) {
    LogDecodeError(u"GetEtagList", e);
    return DataStatus(status, Decoded::kIncomplete, u"GetEtagList");
  }
  std::reverse(read.begin(), read.end());
  AppendAll(read, etags);
  return status;
}

int AppNetInterface::DownloadData(const WString& dataType, TextList guids, StructList& records) {
  std::string response;
  ParsedAnswer parsed;
  const int status =
      SendRequest(TypeUrl(dataType, u"?method=REPORT"), DownloadBody(guids), response, parsed);
  if (!IsSuccess(status)) return status;
  std::string().swap(response);
  StructList read;
  const Decoded decoded = DecodeArray(parsed, "multistatus", kDownloadFormat, u"DownloadData",
                                      [&read](const Json::Value& element) {
                                        StructRecord& record = read.emplace_back();
                                        record.guid = TextOf(element, "guid");
                                        record.data = TextOf(element, "data");
                                      });
  if (decoded != Decoded::kComplete) return DataStatus(status, decoded, u"DownloadData");
  AppendAll(read, records);
  return status;
}

std::map<WString, AddResult> AppNetInterface::AddData(const WString& dataType, TextPairList items,
                                                      int& status) {
  std::map<WString, AddResult> results;
  if (RefuseWrite(u"AddData", status)) return results;
  std::string response;
  ParsedAnswer parsed;
  status = SendRequest(TypeUrl(dataType, u"?method=POST"), AddBody(dataType, items), response,
                       parsed, RequestPolicy::Change(SmallAnswerMs()));
  if (!IsSuccess(status)) return results;
  const Decoded decoded =
      DecodeArray(parsed, "addrsp", kAddFormat, u"AddData", [&results](const Json::Value& element) {
        AddResult result;
        result.guid = TextOf(element, "guid");
        result.luid = TextOf(element, "luid");
        result.status = IntOf(element, "status", 0);
        result.etag = PropText(element, "etag");
        const WString key = result.luid;
        results.emplace(key, std::move(result));  // the first entry wins
      });
  status = DataStatus(status, decoded, u"AddData");
  if (status == 0) results.clear();
  return results;
}

std::map<WString, UpdateResult> AppNetInterface::UpdateData(const WString& dataType,
                                                            TextPairList items, int& status) {
  std::map<WString, UpdateResult> results;
  if (RefuseWrite(u"UpdateData", status)) return results;
  std::string response;
  ParsedAnswer parsed;
  status = SendRequest(TypeUrl(dataType, u"?method=POST"), UpdateBody(dataType, items), response,
                       parsed, RequestPolicy::Change(SmallAnswerMs()));
  if (!IsSuccess(status)) return results;
  const Decoded decoded = DecodeArray(parsed, "updatersp", kUpdateFormat, u"UpdateData",
                                      [&results](const Json::Value& element) {
                                        UpdateResult result;
                                        result.guid = TextOf(element, "guid");
                                        result.status = IntOf(element, "status", -1);
                                        result.etag = PropText(element, "etag");
                                        const WString key = result.guid;
                                        results.emplace(key, std::move(result));  // first wins
                                      });
  status = DataStatus(status, decoded, u"UpdateData");
  if (status == 0) results.clear();
  return results;
}

std::map<WString, int> AppNetInterface::RemoveData(const WString& dataType, TextList guids,
                                                   int& status) {
  std::map<WString, int> results;
  if (RefuseWrite(u"RemoveData", status)) return results;
  std::string response;
  ParsedAnswer parsed;
  status = SendRequest(TypeUrl(dataType, u"?method=POST"), RemoveBody(guids), response, parsed,
                       RequestPolicy::Change(SmallAnswerMs()));
  if (!IsSuccess(status)) return results;
  const Decoded decoded = DecodeArray(parsed, "removersp", kRemoveFormat, u"RemoveData",
                                      [&results](const Json::Value& element) {
                                        const WString guid = TextOf(element, "guid");
                                        results[guid] = IntOf(element, "status", 0);  // last wins
                                      });
  status = DataStatus(status, decoded, u"RemoveData");
  if (status == 0) results.clear();
  return results;
}

void AppNetInterface::OnTimer() {
  try {
    LogInfo(u"Timer trigger to KeepLock");
    // A lost lock is not renewed: the server no longer holds it for this client.
    if (LockLost()) return;
    KeepLock();
  } catch (...) {
    // Out of memory while building the request: this tick is lost, the timer goes on.
  }
}

}  // namespace quillet
