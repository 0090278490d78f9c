// Test helpers: a server on an ephemeral port with the build's test certificates, and a
// client that speaks to it over HTTPS the way the sync library does (every request a POST
// with the JSON content type and a base64url credential, the last Lock-Token it received
// sent with every later request).
#ifndef QUILLET_TOOLS_SYNC_SERVER_TEST_SUPPORT_H_
#define QUILLET_TOOLS_SYNC_SERVER_TEST_SUPPORT_H_

#include <httplib.h>
#include <json/json.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <system_error>
#include <string>
#include <utility>
#include <vector>

#include "tools/sync_server/sync_server.h"

namespace quillet::syncserver::testing {

inline std::string CertDir() { return QUILLET_SYNC_SERVER_CERT_DIR; }

inline SyncServerOptions TestOptions() {
  SyncServerOptions options;
  options.cert_file = CertDir() + "/server.pem";
  options.key_file = CertDir() + "/server.key";
  return options;
}

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/quillet-sync-server-XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::error_code ignored;  // a test's leftovers must not fail the test
      std::filesystem::remove_all(path_, ignored);
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string Base64Url(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  if (i + 1 == bytes.size()) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

struct Reply {
  int http = 0;    // 0: no response
  int status = 0;  // "result"."code" when the body has one, else the HTTP status
  std::string raw;
  Json::Value body;  // null when the body is not JSON
  std::string lock_token;
};

class TestClient {
 public:
  TestClient(int port, std::string user = "u1", std::string type = "browser",
             std::string encoded_token = "token-1")
      : http_("127.0.0.1", port),
        user_(std::move(user)),
        type_(std::move(type)),
        token_(std::move(encoded_token)) {
    http_.set_ca_cert_path((CertDir() + "/ca.pem").c_str());
    http_.enable_server_certificate_verification(true);
    http_.set_keep_alive(false);
  }

  void set_token(const std::string& encoded_token) { token_ = encoded_token; }
  // Off by default: a new connection per request.
  void set_keep_alive(bool on) { http_.set_keep_alive(on); }
  void set_lock_token(const std::string& token) { lock_token_ = token; }
  const std::string& lock_token() const { return lock_token_; }

  // One request to base[/collection]?method=METHOD with the body as given.
  Reply Send(const std::string& collection, const std::string& method, const std::string& body,
             bool with_credentials = true) {
    std::string path = "/sync/vastre/" + user_ + "/" + type_;
    if (!collection.empty()) path += "/" + collection;
    path += "?method=" + method;
    httplib::Headers headers;
    if (with_credentials) {
      headers.emplace("Authorization", Base64Url("8:DEVICE1:app-1::" + token_));
    }
    if (!lock_token_.empty()) headers.emplace("Lock-Token", lock_token_);
    auto result = http_.Post(path.c_str(), headers, body, "application/json; charset=UTF-8");
    Reply reply;
    if (!result) return reply;
    reply.http = result->status;
    reply.status = result->status;
    reply.raw = result->body;
    reply.lock_token = result->get_header_value("Lock-Token");
    if (!reply.lock_token.empty()) lock_token_ = reply.lock_token;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string error;
    if (!reader->parse(reply.raw.data(), reply.raw.data() + reply.raw.size(), &reply.body,
                       &error)) {
      reply.body = Json::Value();
    } else if (reply.body.isObject() && reply.body["result"].isObject() &&
               reply.body["result"]["code"].isInt()) {
      reply.status = reply.body["result"]["code"].asInt();
    }
    return reply;
  }

  // The request bodies below are the library's, byte for byte.
  Reply Lock() { return Send("", "LOCK", ""); }
  Reply KeepLock() { return Send("", "KEEPLOCK", ""); }
  Reply Unlock() { return Send("", "UNLOCK", ""); }
  Reply QueryCtag() { return Send("", "PROPFIND", "{\"propname\":[\"ctag\"]}"); }
  Reply GetEtags(const std::string& c) { return Send(c, "PROPFIND", "{\"propname\":[\"etag\"]}"); }
  Reply Report(const std::string& c, const std::vector<std::string>& guids) {
    if (guids.empty()) return Send(c, "REPORT", "");
    std::string body = "{ \"guids\":[";
    for (const std::string& g : guids) body += "\"" + g + "\",";
    body.pop_back();
    return Send(c, "REPORT", body + "],\"propname\" : [] }");
  }
  Reply Add(const std::string& c, const std::vector<std::pair<std::string, std::string>>& items,
            const std::string& hash = "") {
    return Send(c, "POST", Items("add", "luid", items, hash));
  }
  Reply Update(const std::string& c, const std::vector<std::pair<std::string, std::string>>& items,
               const std::string& hash = "") {
    return Send(c, "POST", Items("update", "guid", items, hash));
  }
  Reply Remove(const std::string& c, const std::vector<std::string>& guids) {
    std::string body = "{\"remove\":[";
    for (const std::string& g : guids) body += "\"" + g + "\",";
    if (!guids.empty()) body.pop_back();
    return Send(c, "POST", body + "]}");
  }

 private:
  // With a hash the items carry the props object the library adds for hashed data types.
  static std::string Items(const std::string& kind, const std::string& key,
                           const std::vector<std::pair<std::string, std::string>>& items,
                           const std::string& hash) {
    std::string body = "{\"" + kind + "\":[";
    for (const auto& [id, data] : items) {
      body += "{\"" + key + "\":\"" + id + "\",\"data\":\"" + data + "\"";
      if (!hash.empty()) body += ",\"props\":{\"status\":2,\"hash\":\"" + hash + "\"}";
      body += "},";
    }
    if (!items.empty()) body.pop_back();
    return body + "]}";
  }

  httplib::SSLClient http_;
  std::string user_;
  std::string type_;
  std::string token_;
  std::string lock_token_;
};

// Guids of a "multistatus", "addrsp", ... array, in order.
inline std::vector<std::string> Guids(const Json::Value& list) {
  std::vector<std::string> out;
  for (const Json::Value& item : list) out.push_back(item["guid"].asString());
  return out;
}

}  // namespace quillet::syncserver::testing

#endif  // QUILLET_TOOLS_SYNC_SERVER_TEST_SUPPORT_H_
