#include "sync/net/base_net_interface.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "sync/common/active_adapter.h"
#include "sync/log/logger.h"
#include "sync/net/device_id.h"
#include "sync/net/json_util.h"
#include "sync/platform/platform.h"
#include "sync/platform/system_info.h"

namespace quillet {
namespace {

const char kContentTypeLine[] = "Content-Type:application/json; charset=UTF-8";
const char kLockTokenPrefix[] = "Lock-Token:";
const size_t kLockTokenPrefixLength = sizeof(kLockTokenPrefix) - 1;
const char16_t kCaFileName[] = u"Cacert.pem";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A header line must stay one line whatever the host or the server put into it.
std::string OneLine(std::string line) {
  size_t out = 0;
  for (const char c : line) {
    if (c != '\r' && c != '\n') line[out++] = c;
  }
  line.resize(out);
  return line;
}

std::atomic<size_t> maxBodyBytes{BaseNetInterface::kMaxBodyBytes};

// The body of one transfer, bounded: a server that sends without end must not make the
// host's process hold it all.
struct BodySink {
  std::string text;
  size_t limit = 0;
  bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* userdata) {
  BodySink* sink = static_cast<BodySink*>(userdata);
  const size_t bytes = size * count;
  if (bytes > sink->limit - sink->text.size()) {
    sink->tooLarge = true;
    return 0;  // libcurl ends the transfer as failed: no response
  }
  try {
    sink->text.append(data, bytes);
    return bytes;
  } catch (...) {
    return 0;  // out of memory: libcurl aborts the transfer
  }
}

// Only https carries the token: a URL of any other scheme (or none, which libcurl would
// take for http) would send the Authorization line readable on the wire or to a proxy.
bool IsHttpsUrl(const std::string& url) {
  static const char kScheme[] = "https://";
  if (url.size() < sizeof(kScheme) - 1) return false;
  for (size_t i = 0; i < sizeof(kScheme) - 1; ++i) {
    const char c = url[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kScheme[i]) return false;
  }
  return true;
}

// The body of a request that changes the cloud, read by libcurl through this callback and
// no seek callback: libcurl sends a request again by itself only when a reused connection
// died before the answer's first byte, and then it must rewind the body, which it cannot
// do here, so the transfer fails instead of storing the body twice.
struct BodySource {
  const char* data;
  size_t left;
};

size_t OnReadBody(char* buffer, size_t size, size_t count, void* userdata) {
  BodySource* source = static_cast<BodySource*>(userdata);
  const size_t bytes = std::min(size * count, source->left);
  std::memcpy(buffer, source->data, bytes);
  source->data += bytes;
  source->left -= bytes;
  return bytes;
}

size_t OnHeader(char* line, size_t size, size_t count, void* userdata) {
  try {
    return static_cast<BaseNetInterface*>(userdata)->CaptureLockToken(line, size * count);
  } catch (...) {
    return 0;
  }
}

}  // namespace

// libcurl calls back into these locks from every easy handle that uses the share handle,
// which the sync thread and the timer thread do at the same time.
struct BaseNetInterface::Share {
  CURLSH* handle = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];

  static std::mutex* Of(void* self, curl_lock_data data) {
    const int index = static_cast<int>(data);
    if (index < 0 || index >= CURL_LOCK_DATA_LAST) return nullptr;
    return &static_cast<Share*>(self)->locks[index];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    if (std::mutex* mutex = Of(self, data)) mutex->lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    if (std::mutex* mutex = Of(self, data)) mutex->unlock();
  }

  ~Share() {
    if (handle != nullptr) curl_share_cleanup(handle);
  }
};

BaseNetInterface::BaseNetInterface(const NetConfig& config)
    : deviceId_(ReadDeviceId()),
      credentialPrefix_(u"8"),
      config_(config),
      token_(UrlEncode(config.AT)) {
  GlobalInit();
  std::lock_guard<std::mutex> lock(mutex_);
  UpdateAuthorizationLocked();
  headers_.emplace(u"userId", config_.UserID);
  headers_.emplace(u"encversion", u"0");
  headers_.emplace(u"x-qz-trace-id", GetTraceId());
  headers_.emplace(u"x-qz-os", u"windows");
  headers_.emplace(u"x-qz-terminal", u"PC");
  headers_.emplace(u"version", u"0");
  headers_.emplace(u"Accept-Language", platform::PreferredUiLanguage());
}

BaseNetInterface::~BaseNetInterface() = default;

int BaseNetInterface::SendRequest(const WString& url, const WString& body, std::string& response) {
  ParsedAnswer parsed;
  return SendRequest(url, body, response, parsed);
}

int BaseNetInterface::SendRequest(const WString& url, const WString& body, std::string& response,
                                  ParsedAnswer& parsed) {
  return SendRequest(url, body, response, parsed, RequestPolicy::Read());
}

int BaseNetInterface::SendRequest(const WString& url, const WString& body, std::string& response,
                                  ParsedAnswer& parsed, const RequestPolicy& policy) {
  const auto send = [&] {
    int status = HttpRequest(url, body, response, policy);
    ParseOnce(response, parsed);
    // Without a response there is no result code to read. A cut body's code is still read,
    // leniently, but such an answer never counts as a success: the decoders refuse it.
    if (status != 0) ReadResultCode(status, parsed.root);
    return status;
  };
  const int status = send();
  if (status != 402) return status;
  LogInfo(u"(AT expired. try to get new AT!)");
  RefreshToken();
  return send();
}

namespace {
std::atomic<long> connectTimeoutMs{BaseNetInterface::kConnectTimeoutMs};
std::atomic<long> stallSeconds{BaseNetInterface::kStallSeconds};
std::atomic<long> smallAnswerMs{BaseNetInterface::kSmallAnswerMs};
std::atomic<long> graceMs{BaseNetInterface::kGraceMs};
std::atomic<long> floorBytesPerSecond{BaseNetInterface::kFloorBytesPerSecond};

// Ends a transfer that is cancelled, or that, past its grace, has moved less than the floor
// rate on average: libcurl's own stall limit lets a server that trickles a byte now and
// then hold the round for as long as it likes.
struct Pace {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  long graceMs = 0;  // 0: no floor rate (the answer is small, a deadline bounds it)
  long floorBytesPerSecond = 1;
  const std::atomic<bool>* cancel = nullptr;
  bool cancelled = false;
  bool tooSlow = false;
};

int OnProgress(void* userdata, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  Pace* pace = static_cast<Pace*>(userdata);
  if (pace->cancel != nullptr && pace->cancel->load()) {
    pace->cancelled = true;
    return 1;
  }
  if (pace->graceMs == 0) return 0;
  const long long elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - pace->start)
                                  .count();
  const long long allowedMs =
      pace->graceMs + (static_cast<long long>(dlnow) + ulnow) * 1000 / pace->floorBytesPerSecond;
  if (elapsedMs <= allowedMs) return 0;
  pace->tooSlow = true;
  return 1;
}
}  // namespace

RequestPolicy RequestPolicy::Change(long deadline) {
  RequestPolicy policy;
  policy.changesCloud = true;
  policy.deadlineMs = deadline;
  return policy;
}

void BaseNetInterface::SetDeadlinesForTesting(long smallMs, long grace, long floorRate) {
  smallAnswerMs = smallMs > 0 ? smallMs : kSmallAnswerMs;
  graceMs = grace > 0 ? grace : kGraceMs;
  floorBytesPerSecond = floorRate > 0 ? floorRate : kFloorBytesPerSecond;
}

long BaseNetInterface::SmallAnswerMs() { return smallAnswerMs.load(); }

void BaseNetInterface::SetTransferLimitsForTesting(long connectMs, long stallSecondsLimit) {
  connectTimeoutMs = connectMs;
  stallSeconds = stallSecondsLimit;
}

void BaseNetInterface::SetMaxBodyBytesForTesting(size_t bytes) {
  maxBodyBytes = bytes == 0 ? kMaxBodyBytes : bytes;
}

void BaseNetInterface::RefreshToken() {
  std::lock_guard<std::mutex> refresh(refreshMutex_);
  WString fresh;
  try {
    const AdapterRef adapter = ActiveAdapter();
    if (adapter) fresh = adapter->GetNewAT();
  } catch (...) {
    return;  // the host failed; the retry goes out with the old token
  }
  std::lock_guard<std::mutex> lock(mutex_);
  token_ = UrlEncode(fresh);
  UpdateAuthorizationLocked();
}

int BaseNetInterface::HttpRequest(const WString& url, const WString& body, std::string& response,
                                  const RequestPolicy& policy) {
  std::string url8 = WideToUtf8(url);
  if (!IsHttpsUrl(url8)) {
    LogError(u"BaseNetInterface HttpRequest refused: the service URL is not https, nothing sent");
    response.clear();
    return 0;
  }
  CURL* easy = curl_easy_init();
  if (easy == nullptr) {
    LogError(u"BaseNetInterface HttpRequest curl_easy_init return null");
    return 0;
  }
  BodySink received;
  received.limit = maxBodyBytes.load();
  Pace pace;
  pace.cancel = policy.cancel;
  curl_slist* headers = nullptr;
  int status = 0;
  try {
    Share* share = GetShare();
    if (share != nullptr) curl_easy_setopt(easy, CURLOPT_SHARE, share->handle);
    curl_easy_setopt(easy, CURLOPT_DNS_CACHE_TIMEOUT, 300L);
    curl_easy_setopt(easy, CURLOPT_URL, url8.c_str());
    // libcurl itself refuses any other scheme too, for the request and for a redirect.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    // An announced length beyond the limit ends the transfer before its body arrives.
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(received.limit));
    headers = static_cast<curl_slist*>(BuildHeaderList());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // The protocol's headers are HTTP/1.1 headers: HTTP/2 would carry "Lock-Token" in lower
    // case, and its capture is case-sensitive.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // A server that accepts and then stays silent must not hold the round forever.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs.load());
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds.load());

    const std::string proxy = GetIeProxy();
    if (!proxy.empty()) {
      curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
      curl_easy_setopt(easy, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
      LogInfo(u"BaseNetInterface: used proxy.");
    }
    if (ApplyTlsOptions(easy)) {
      // libcurl reads the fields during the transfer without copying them: body8 outlives it.
      const std::string body8 = WideToUtf8(body);
      long deadlineMs = 0;
      if (policy.deadlineMs > 0) {
        deadlineMs = policy.deadlineMs +
                     static_cast<long>(static_cast<long long>(body8.size()) * 1000 /
                                       floorBytesPerSecond.load());
      } else {
        pace.graceMs = graceMs.load();
        pace.floorBytesPerSecond = floorBytesPerSecond.load();
        // What the floor rate allows for the largest answer kept: a hard stop as well.
        deadlineMs = pace.graceMs +
                     static_cast<long>((static_cast<long long>(received.limit) + body8.size()) *
                                       1000 / pace.floorBytesPerSecond);
      }
      curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, deadlineMs);
      curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
      curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &pace);
      curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      BodySource source{body8.data(), body8.size()};
      if (!policy.changesCloud) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body8.c_str());
      } else if (body8.empty()) {
        // Nothing to rewind, so libcurl would resend it: a connection of its own instead.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body8.c_str());
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
      } else {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body8.size()));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &OnReadBody);
        curl_easy_setopt(easy, CURLOPT_READDATA, &source);
      }
      status = PerformRequest(easy);
    }
  } catch (const std::exception& e) {
    LogError(u"BaseNetInterface HttpRequest exception:", Utf8ToWide(e.what()));
    status = 0;
  } catch (...) {
    LogError(u"BaseNetInterface HttpRequest Unknown");
    status = 0;
  }
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
  if (pace.cancelled) LogInfo(u"BaseNetInterface HttpRequest cut short, taken as no response");
  if (pace.tooSlow) {
    LogError(u"BaseNetInterface HttpRequest slower than ", ToWide(pace.floorBytesPerSecond),
             u" bytes a second after ", ToWide(pace.graceMs), u" ms, taken as no response");
  }
  if (received.tooLarge) {
    LogError(u"BaseNetInterface HttpRequest answer larger than ",
             ToWide(static_cast<long long>(received.limit)), u" bytes, taken as no response");
  }
  // A transfer that did not complete has no answer to read, whatever arrived of it.
  if (status == 0) received.text.clear();
  response.swap(received.text);
  return status;
}

BaseNetInterface::Share* BaseNetInterface::GetShare() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!share_) {
    std::unique_ptr<Share> share(new Share());
    share->handle = curl_share_init();
    if (share->handle == nullptr) return nullptr;  // requests then resolve on their own
    curl_share_setopt(share->handle, CURLSHOPT_LOCKFUNC, &Share::Lock);
    curl_share_setopt(share->handle, CURLSHOPT_UNLOCKFUNC, &Share::Unlock);
    curl_share_setopt(share->handle, CURLSHOPT_USERDATA, share.get());
    curl_share_setopt(share->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    // Connections and TLS sessions too: the requests of one client reuse a connection
    // instead of a TCP and TLS handshake each. Each request keeps its own easy handle,
    // headers and body, so nothing changes on the wire but the number of connections.
    curl_share_setopt(share->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    share_ = std::move(share);
  }
  return share_.get();
}

namespace {
std::mutex caDirectoryMutex;

// Opens and yields a first byte: a missing file, a directory and an empty file all fail.
// Checked before every request (the bundle may be removed at any time), so without the
// cost of a stream and its locale.
// A CA bundle of every public CA is a few hundred KiB; far more is no bundle.
constexpr size_t kCaBundleLimit = 16u << 20;

WString& CaDirectoryOverride() {
  static WString dir;
  return dir;
}
}  // namespace

void BaseNetInterface::SetCaDirectoryForTesting(const WString& dir) {
  std::lock_guard<std::mutex> lock(caDirectoryMutex);
  CaDirectoryOverride() = dir;
}

bool BaseNetInterface::ApplyTlsOptions(void* easy) const {
  curl_easy_setopt(easy, CURLOPT_SSLCERTTYPE, "PEM");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  WString dir;
  {
    std::lock_guard<std::mutex> lock(caDirectoryMutex);
    dir = CaDirectoryOverride();
  }
  if (dir.empty()) dir = GetModuleDirectory();
  if (dir.empty()) return false;
  const std::string caFile = WideToUtf8(dir + platform::kPathSeparator + kCaFileName);
  // The bundle beside the executable is the only trust anchor: without it nothing is sent,
  // rather than leaving the choice to whatever libcurl would fall back on. It is read here
  // and handed over in memory: libcurl would open it by a narrow name, which on Windows
  // reaches no folder outside the ANSI code page or past MAX_PATH.
  std::string bundle;
  if (!platform::ReadWholeFile(caFile, kCaBundleLimit, &bundle) || bundle.empty()) {
    LogError(u"BaseNetInterface: CA bundle missing or unreadable: ", Utf8ToWide(caFile));
    return false;
  }
  curl_blob blob{&bundle[0], bundle.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_CAINFO, static_cast<char*>(nullptr));
  // libcurl also trusts its compiled-in CA directory (/etc/ssl/certs on Debian) unless told
  // not to: any CA of the system would then do.
  curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  return true;
}

int BaseNetInterface::PerformRequest(void* easy) const {
  // The request may wait up to its time-outs: what was logged up to here is on disk first.
  FlushLogs();
  const CURLcode code = curl_easy_perform(easy);
  if (code != CURLE_OK) {
    LogError(u"BaseNetInterface HttpRequest Failed , CurlCode :(", ToWide(code), u")",
             Utf8ToWide(curl_easy_strerror(code)));
    // A status line may have arrived before the failure (a body cut off halfway): the
    // answer is still incomplete, so it counts as none.
    return 0;
  }
  long responseCode = 0;
  if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &responseCode) != CURLE_OK) return 0;
  return static_cast<int>(responseCode);
}

void BaseNetInterface::ReadResultCode(int& status, const std::string& response) {
  ReadResultCode(status, ParseStrict(response));
}

void BaseNetInterface::ReadResultCode(int& status, const Json::Value& root) {
  try {
    if (!IsObjectLike(root)) return;
    const Json::Value* result = FindMember(root, "result");
    if (result == nullptr) return;
    const Json::Value* code = FindMember(*result, "code");
    if (code == nullptr) return;
    status = ReadInt(*code);
  } catch (const std::exception& e) {
    LogError(u"ReadResultCode error: ", Utf8ToWide(e.what()));
  }
}

void* BaseNetInterface::BuildHeaderList() const {
  const std::vector<std::string> lines = HeaderLines();
  curl_slist* list = nullptr;
  for (const std::string& line : lines) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr) {
      curl_slist_free_all(list);
      throw std::bad_alloc();
    }
    list = grown;
  }
  return list;
}

std::vector<std::string> BaseNetInterface::HeaderLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(headers_.size() + 2);
  lines.emplace_back(kContentTypeLine);
  if (!lockTokenLine_.empty()) lines.push_back(OneLine(lockTokenLine_));
  for (const auto& header : headers_) {
    lines.push_back(OneLine(WideToUtf8(header.first + u":" + header.second)));
  }
  return lines;
}

size_t BaseNetInterface::CaptureLockToken(const char* line, size_t length) {
  if (line == nullptr || length < kLockTokenPrefixLength) return length;
  if (std::char_traits<char>::compare(line, kLockTokenPrefix, kLockTokenPrefixLength) != 0) {
    return length;
  }
  std::string captured(line, length);
  // The line ends with CR LF; a bare LF from a sloppy server is cut too.
  if (!captured.empty() && captured.back() == '\n') captured.pop_back();
  if (!captured.empty() && captured.back() == '\r') captured.pop_back();
  std::lock_guard<std::mutex> lock(mutex_);
  lockTokenLine_.swap(captured);
  return length;
}

void BaseNetInterface::UpdateAuthorization() {
  std::lock_guard<std::mutex> lock(mutex_);
  UpdateAuthorizationLocked();
}

void BaseNetInterface::UpdateAuthorizationLocked() {
  headers_[u"Authorization"] = Utf8ToWide(Base64UrlEncode(WideToUtf8(CredentialStringLocked())));
}

WString BaseNetInterface::CredentialString() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CredentialStringLocked();
}

WString BaseNetInterface::CredentialStringLocked() const {
  return credentialPrefix_ + u":" + deviceId_ + u":" + config_.AppID + u":" + u"" + u":" + token_;
}

WString BaseNetInterface::Token() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return token_;
}

std::string BaseNetInterface::LockTokenLine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lockTokenLine_;
}

WString BaseNetInterface::GetTraceId() const {
  try {
    const time_t now = time(nullptr);
    srand(static_cast<unsigned>(now));
    WString id = config_.SyncType + u"_11_" + ToWide(static_cast<int32_t>(now)) + u"_";
    for (int i = 0; i < 8; ++i) id += static_cast<char16_t>(u'0' + rand() % 10);
    return id;
  } catch (const std::exception& e) {
    LogError(u"BaseNetInterface GetTraceId: ", Utf8ToWide(e.what()));
  } catch (...) {
    LogError(u"BaseNetInterface GetTraceId Unknown");
  }
  return WString();
}

WString BaseNetInterface::UrlEncode(const WString& text) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::string bytes = platform::WideToAnsi(text);
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return platform::AnsiToWide(out);
}

std::string BaseNetInterface::Base64UrlEncode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string BaseNetInterface::GetIeProxy() { return platform::ManualProxy(); }

WString BaseNetInterface::GetModuleDirectory() {
  // A running program does not move: its path is read once.
  static const WString exe = platform::ExecutablePath();
  size_t cut = exe.find_last_of(platform::kPathSeparator);
  const size_t slash = exe.find_last_of(u'/');
  if (cut == WString::npos || (slash != WString::npos && slash > cut)) cut = slash;
  if (cut == WString::npos) return WString();
  return exe.substr(0, cut);
}

}  // namespace quillet
