#include "bench/floor_transport.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace quillet {
namespace bench {
namespace {

const char kContentTypeLine[] = "Content-Type:application/json; charset=UTF-8";
const char kLockTokenPrefix[] = "Lock-Token:";
constexpr size_t kLockTokenPrefixLength = sizeof(kLockTokenPrefix) - 1;
// The library's limits, so that both give up on a silent server alike.
constexpr long kConnectTimeoutMs = 30000;
constexpr long kStallSeconds = 60;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
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
  return out;
}

// Base64 with the URL-safe alphabet, "=" fill kept.
std::string Base64Url(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  out.resize(length > 0 ? static_cast<size_t>(length) : 0);
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

// Fixed for the life of a client: type, time of day and eight random digits.
std::string TraceId(const std::string& syncType) {
  const time_t now = time(nullptr);
  srand(static_cast<unsigned>(now));
  std::string id = syncType + "_11_" + std::to_string(static_cast<int32_t>(now)) + "_";
  for (int i = 0; i < 8; ++i) id += static_cast<char>('0' + rand() % 10);
  return id;
}

size_t OnBody(char* data, size_t size, size_t count, void* received) {
  static_cast<std::string*>(received)->append(data, size * count);
  return size * count;
}

size_t OnHeader(char* line, size_t size, size_t count, void* lockLine) {
  const size_t length = size * count;
  if (length >= kLockTokenPrefixLength &&
      std::char_traits<char>::compare(line, kLockTokenPrefix, kLockTokenPrefixLength) == 0) {
    std::string captured(line, length);
    while (!captured.empty() && (captured.back() == '\n' || captured.back() == '\r')) {
      captured.pop_back();
    }
    static_cast<std::string*>(lockLine)->swap(captured);
  }
  return length;
}

}  // namespace

// libcurl calls these locks from every easy handle on the share handle, which the sync
// thread and the keep-alive thread use at the same time.
struct FloorTransport::Share {
  CURLSH* handle = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Share*>(self)->locks[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Share*>(self)->locks[data].unlock();
  }
  ~Share() { curl_share_cleanup(handle); }
};

const char* ModeName(ConnectionMode mode) {
  return mode == ConnectionMode::kNew ? "new" : "shared";
}

bool ParseMode(const std::string& name, ConnectionMode* mode) {
  if (name == "new") {
    *mode = ConnectionMode::kNew;
  } else if (name == "shared") {
    *mode = ConnectionMode::kShared;
  } else {
    return false;
  }
  return true;
}

FloorTransport::FloorTransport(ConnectionMode mode, const FloorIdentity& identity,
                               std::string caFile)
    : share_(new Share()), caFile_(std::move(caFile)) {
  GlobalInit();
  share_->handle = curl_share_init();
  curl_share_setopt(share_->handle, CURLSHOPT_LOCKFUNC, &Share::Lock);
  curl_share_setopt(share_->handle, CURLSHOPT_UNLOCKFUNC, &Share::Unlock);
  curl_share_setopt(share_->handle, CURLSHOPT_USERDATA, share_.get());
  curl_share_setopt(share_->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  if (mode == ConnectionMode::kShared) {
    curl_share_setopt(share_->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  // Credential: prefix 8, device, app, an empty field, the URL-encoded token.
  const std::string credential =
      "8:" + identity.deviceId + ":" + identity.appId + "::" + UrlEncode(identity.accessToken);
  // Ordered by name as the library orders them (upper case first).
  const std::string lines[] = {"Accept-Language:" + identity.language,
                               "Authorization:" + Base64Url(credential),
                               "encversion:0",
                               "userId:" + identity.userId,
                               "version:0",
                               "x-qz-os:windows",
                               "x-qz-terminal:PC",
                               "x-qz-trace-id:" + TraceId(identity.syncType)};
  for (size_t i = 0; i < std::size(fixedLines_); ++i) fixedLines_[i] = lines[i];
  std::lock_guard<std::mutex> lock(headerMutex_);
  headers_ = BuildHeaders();
}

FloorTransport::~FloorTransport() = default;

FloorTransport::HeaderList FloorTransport::BuildHeaders() const {
  curl_slist* list = curl_slist_append(nullptr, kContentTypeLine);
  if (!lockTokenLine_.empty()) list = curl_slist_append(list, lockTokenLine_.c_str());
  for (const std::string& line : fixedLines_) list = curl_slist_append(list, line.c_str());
  return HeaderList(list, curl_slist_free_all);
}

FloorTransport::HeaderList FloorTransport::Headers() const {
  std::lock_guard<std::mutex> lock(headerMutex_);
  return headers_;
}

void FloorTransport::KeepLockToken(const std::string& line) {
  std::lock_guard<std::mutex> lock(headerMutex_);
  if (line == lockTokenLine_) return;
  lockTokenLine_ = line;
  headers_ = BuildHeaders();
}

int FloorTransport::Post(const std::string& url, const std::string& body, std::string* answer) {
  answer->clear();
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return 0;
  const HeaderList headers = Headers();
  std::string received;
  std::string lockLine;
  curl_easy_setopt(easy, CURLOPT_SHARE, share_->handle);
  curl_easy_setopt(easy, CURLOPT_DNS_CACHE_TIMEOUT, 300L);
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &lockLine);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(easy, CURLOPT_SSLCERTTYPE, "PEM");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, caFile_.c_str());
  curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());

  long status = 0;
  if (curl_easy_perform(easy) != CURLE_OK ||
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    status = 0;
  }
  curl_easy_cleanup(easy);
  if (!lockLine.empty()) KeepLockToken(lockLine);
  if (status != 0) answer->swap(received);
  return static_cast<int>(status);
}

}  // namespace bench
}  // namespace quillet
