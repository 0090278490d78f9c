#include "sync/testing/scoped_proxy.h"

#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace quillet {
namespace testing {

#if defined(_WIN32)
namespace {

const wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// WinHTTP reads the settings blob beside the plain values: a header (magic 0x46, counter,
// flags), then the proxy and the bypass list, each a length and its bytes.
void WriteSettings(const std::string& proxy) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  const DWORD enable = proxy.empty() ? 0 : 1;
  RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                 sizeof enable);
  const std::wstring wide(proxy.begin(), proxy.end());  // host and port: ASCII
  if (proxy.empty()) {
    RegDeleteValueW(key, L"ProxyServer");
  } else {
    RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  }
  std::string blob;
  auto put = [&blob](DWORD v) { blob.append(reinterpret_cast<const char*>(&v), sizeof v); };
  put(0x46);
  put(0);
  put(proxy.empty() ? 0x1 : 0x3);  // PROXY_TYPE_DIRECT, | PROXY_TYPE_PROXY
  put(static_cast<DWORD>(proxy.size()));
  blob += proxy;
  put(0);
  blob.append(32, '\0');
  HKEY connections = nullptr;
  if (RegCreateKeyExW(key, L"Connections", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &connections,
                      nullptr) == ERROR_SUCCESS) {
    if (proxy.empty()) {
      RegDeleteValueW(connections, L"DefaultConnectionSettings");
    } else {
      RegSetValueExW(connections, L"DefaultConnectionSettings", 0, REG_BINARY,
                     reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()));
    }
    RegCloseKey(connections);
  }
  RegCloseKey(key);
}

}  // namespace

ScopedProxy::ScopedProxy(const std::string& hostAndPort) { WriteSettings(hostAndPort); }
ScopedProxy::~ScopedProxy() { WriteSettings(std::string()); }

#else

namespace {
std::optional<std::string> Get(const char* name) {
  const char* value = getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}
void Put(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}
}  // namespace

ScopedProxy::ScopedProxy(const std::string& hostAndPort)
    : oldLower_(Get("https_proxy")), oldUpper_(Get("HTTPS_PROXY")) {
  unsetenv("https_proxy");
  setenv("HTTPS_PROXY", ("http://" + hostAndPort).c_str(), 1);
}
ScopedProxy::~ScopedProxy() {
  Put("https_proxy", oldLower_);
  Put("HTTPS_PROXY", oldUpper_);
}

#endif

}  // namespace testing
}  // namespace quillet
