// Windows implementation of the machine facts: the BIOS serial through WMI, the user's
// manual proxy through WinHTTP and the preferred UI language.
#include <windows.h>
// The COM, WMI and WinHTTP headers build on <windows.h>.
#include <objbase.h>
#include <oleauto.h>
#include <stdio.h>
#include <wbemidl.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "sync/platform/system_info.h"

namespace quillet {
namespace platform {
namespace {

// Spelled out so that no WMI import library is needed to link.
const CLSID kClsidWbemLocator = {
    0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
const IID kIidWbemLocator = {
    0xdc12a687, 0x737f, 0x11cf, {0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};

constexpr size_t kMaxSerialBytes = 4096;

template <typename T>
void Release(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

// Owns a BSTR for the length of one call.
class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

std::string ToAnsi(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// Connects to ROOT\CIMV2 with COM initialised on this thread; false after undoing it all.
bool ConnectWmi(IWbemLocator** locator, IWbemServices** services) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
  const HRESULT security =
      CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security) && security != RPC_E_TOO_LATE) {
    CoUninitialize();
    return false;
  }
  HRESULT hr = CoCreateInstance(kClsidWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIidWbemLocator,
                                reinterpret_cast<LPVOID*>(locator));
  if (SUCCEEDED(hr)) {
    Bstr ns(L"ROOT\\CIMV2");
    hr = (*locator)->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                   services);
  }
  if (SUCCEEDED(hr)) {
    hr = CoSetProxyBlanket(*services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  }
  if (FAILED(hr)) {
    Release(*services);
    Release(*locator);
    CoUninitialize();
    return false;
  }
  return true;
}

}  // namespace

int GetBiosSerialNumber(char16_t* buffer) {
  if (buffer == nullptr) return kSerialNoSource;
  buffer[0] = 0;
  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  if (!ConnectWmi(&locator, &services)) return kSerialNoSource;

  IEnumWbemClassObject* enumerator = nullptr;
  IWbemClassObject* object = nullptr;
  int result = kSerialNotFound;
  Bstr language(L"WQL");
  Bstr query(L"SELECT * FROM Win32_BIOS WHERE (SerialNumber IS NOT NULL)");
  HRESULT hr = services->ExecQuery(language.get(), query.get(),
                                   WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                   &enumerator);
  if (SUCCEEDED(hr)) {
    ULONG returned = 0;
    hr = enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
    if (SUCCEEDED(hr) && returned != 0 && object != nullptr) {
      VARIANT value;
      VariantInit(&value);
      WString serial;
      if (SUCCEEDED(object->Get(L"SerialNumber", 0, &value, nullptr, nullptr)) &&
          value.vt == VT_BSTR && value.bstrVal != nullptr) {
        serial.assign(reinterpret_cast<const char16_t*>(value.bstrVal),
                      SysStringLen(value.bstrVal));
      }
      VariantClear(&value);
      CopySerial(serial, buffer);
      result = kSerialOk;
    }
  }
  Release(object);
  Release(enumerator);
  Release(services);
  Release(locator);
  CoUninitialize();
  return result;
}

int ReadBiosSerialNumberFrom(const std::string& dmiDirectory, char16_t* buffer) {
  if (buffer == nullptr) return kSerialNoSource;
  buffer[0] = 0;
  const DWORD attrs = GetFileAttributesA(dmiDirectory.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return kSerialNoSource;
  }
  FILE* file = fopen((dmiDirectory + "\\product_serial").c_str(), "rb");
  if (file == nullptr) return kSerialNotFound;
  std::string bytes(kMaxSerialBytes, '\0');
  const size_t n = fread(&bytes[0], 1, bytes.size(), file);
  fclose(file);
  bytes.resize(n);
  if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
  CopySerial(Utf8ToWide(bytes), buffer);
  return kSerialOk;
}

std::string ManualProxy() {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
  ZeroMemory(&config, sizeof(config));
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return std::string();
  std::string proxy;
  if (config.lpszProxy != nullptr) proxy = ToAnsi(config.lpszProxy);
  if (config.lpszProxy != nullptr) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass != nullptr) GlobalFree(config.lpszProxyBypass);
  if (config.lpszAutoConfigUrl != nullptr) GlobalFree(config.lpszAutoConfigUrl);
  return proxy;
}

WString PreferredUiLanguage() {
  ULONG count = 0;
  ULONG size = 0;
  if (!GetSystemPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) || size == 0) {
    return WString();
  }
  std::vector<wchar_t> names(size, L'\0');
  if (!GetSystemPreferredUILanguages(MUI_LANGUAGE_NAME, &count, names.data(), &size)) {
    return WString();
  }
  // A list of zero-terminated names; the first is the preferred one.
  const wchar_t* first = names.data();
  size_t length = 0;
  while (length < names.size() && first[length] != L'\0') ++length;
  return WString(reinterpret_cast<const char16_t*>(first), length);
}

}  // namespace platform
}  // namespace quillet
