// Facts about the machine and the user that the protocol client sends: the hardware serial
// that identifies the device, the user's manual proxy and preferred UI language.
// One implementation per platform (posix/, win32/). All functions are thread-safe, keep no
// state and report failure through their results; none throws.
#ifndef QUILLET_SYNC_PLATFORM_SYSTEM_INFO_H_
#define QUILLET_SYNC_PLATFORM_SYSTEM_INFO_H_

#include <cstddef>
#include <string>

#include "sync/platform/text.h"

namespace quillet {
namespace platform {

// Size of the serial buffer in UTF-16 units, terminator included.
constexpr size_t kSerialBufferUnits = 128;

// Results of GetBiosSerialNumber.
constexpr int kSerialOk = 0;
constexpr int kSerialNoSource = -2;  // the serial source cannot be reached
constexpr int kSerialNotFound = -3;  // the source has no serial

// The machine's BIOS serial (WMI Win32_BIOS on Windows, the DMI product serial elsewhere)
// into buffer (kSerialBufferUnits units): at most 127 units, every U+0020 removed, zero
// terminated. Returns kSerialOk, kSerialNoSource or kSerialNotFound; on failure the buffer
// is left as an empty text. A null buffer reads as kSerialNoSource.
int GetBiosSerialNumber(char16_t* buffer);

// The same from a DMI directory (POSIX: the file "product_serial" inside it): kSerialNoSource
// when the directory cannot be read, kSerialNotFound when the file cannot be read.
int ReadBiosSerialNumberFrom(const std::string& dmiDirectory, char16_t* buffer);

// Puts a raw serial into buffer as GetBiosSerialNumber delivers it: the first 127 units,
// then every U+0020 removed in place (other white space stays).
inline void CopySerial(const WString& raw, char16_t* buffer) {
  const size_t length = raw.size() < kSerialBufferUnits - 1 ? raw.size() : kSerialBufferUnits - 1;
  size_t out = 0;
  for (size_t i = 0; i < length; ++i) {
    if (raw[i] != u' ') buffer[out++] = raw[i];
  }
  buffer[out] = 0;
}

// The user's manually configured proxy ("host:port" or a URL) in the ANSI code page; empty
// when none is set. Automatic detection is not used.
std::string ManualProxy();

// The first of the user's preferred UI languages as a tag such as "en-US".
WString PreferredUiLanguage();

}  // namespace platform
}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_SYSTEM_INFO_H_
