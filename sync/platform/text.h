// Text conversions between the library's internal UTF-16 text and UTF-8.
//
// Invalid input never throws: an invalid UTF-8 sequence or a lone surrogate becomes
// U+FFFD, as the Windows conversion calls do without MB_ERR_INVALID_CHARS.
// All functions are pure and thread-safe.
#ifndef QUILLET_SYNC_PLATFORM_TEXT_H_
#define QUILLET_SYNC_PLATFORM_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillet {

// Internal "wide text": UTF-16 on every platform.
using WString = std::u16string;

WString Utf8ToWide(const std::string& utf8);
// The same for size bytes at utf8 (not NUL-terminated).
WString Utf8ToWide(const char* utf8, size_t size);
// A null pointer reads as the empty text (the host may hand in null texts).
WString Utf8ToWide(const char* utf8);
std::string WideToUtf8(const WString& wide);
// Appends the UTF-8 form of n UTF-16 units to out (no intermediate string).
void AppendWideAsUtf8(const char16_t* wide, size_t n, std::string* out);
// Writes the same UTF-8 to out, which has room for kMaxUtf8PerUnit * n bytes; returns the
// number written. No terminating NUL.
constexpr size_t kMaxUtf8PerUnit = 3;
size_t WriteWideAsUtf8(const char16_t* wide, size_t n, char* out);

// Decimal forms of numbers as wide text ("-12").
WString ToWide(long long value);
// Plain ASCII literal to wide text, for short constant texts.
WString Ascii(const char* ascii);

}  // namespace quillet

#endif  // QUILLET_SYNC_PLATFORM_TEXT_H_
