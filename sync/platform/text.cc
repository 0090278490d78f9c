#include "sync/platform/text.h"

#include <cstdint>
#include <cstring>

namespace quillet {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Most text is ASCII. Eight bytes (or four UTF-16 units) at a time are tested with one
// mask and copied without a branch per character; the rest goes through the full decoder.
constexpr uint64_t kHighBitOfEachByte = 0x8080808080808080ull;
constexpr uint64_t kNonAsciiBitsOfEachUnit = 0xFF80FF80FF80FF80ull;

// One code point as UTF-16 at dst; returns the position after it.
char16_t* PutUtf16(char32_t cp, char16_t* dst) {
  if (cp < 0x10000) {
    *dst++ = static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    *dst++ = static_cast<char16_t>(0xD800 + (cp >> 10));
    *dst++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
  return dst;
}

}  // namespace

WString Utf8ToWide(const std::string& utf8) { return Utf8ToWide(utf8.data(), utf8.size()); }

WString Utf8ToWide(const char* utf8, size_t n) {
  // No byte yields more than one UTF-16 unit (four bytes yield two), so n units always do.
  WString out(n, u'\0');
  char16_t* const begin = &out[0];
  char16_t* dst = begin;
  size_t i = 0;
  while (i < n) {
    uint64_t block;
    if (i + 8 <= n && (std::memcpy(&block, utf8 + i, 8), (block & kHighBitOfEachByte) == 0)) {
      for (size_t k = 0; k < 8; ++k) dst[k] = static_cast<unsigned char>(utf8[i + k]);
      dst += 8;
      i += 8;
      continue;
    }
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      *dst++ = lead;
      ++i;
      continue;
    }
    size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4, cp = lead & 0x07, min = 0x10000;
    }
    // A bad lead byte, or a sequence cut short, replaces the maximal invalid prefix by one
    // U+FFFD and resumes at the first byte that cannot continue it.
    size_t used = 1;
    bool ok = len != 0;
    while (ok && used < len) {
      if (i + used >= n || !IsContinuation(static_cast<unsigned char>(utf8[i + used]))) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + used]) & 0x3F);
      ++used;
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok) {
      dst = PutUtf16(cp, dst);
      i += len;
    } else {
      *dst++ = static_cast<char16_t>(kReplacement);
      i += used;
    }
  }
  out.resize(static_cast<size_t>(dst - begin));
  return out;
}

WString Utf8ToWide(const char* utf8) {
  return utf8 ? Utf8ToWide(utf8, std::char_traits<char>::length(utf8)) : WString();
}

size_t WriteWideAsUtf8(const char16_t* wide, size_t n, char* out) {
  char* const start = out;
  for (size_t i = 0; i < n; ++i) {
    uint64_t block;
    while (i + 4 <= n &&
           (std::memcpy(&block, wide + i, 8), (block & kNonAsciiBitsOfEachUnit) == 0)) {
      out[0] = static_cast<char>(wide[i]);
      out[1] = static_cast<char>(wide[i + 1]);
      out[2] = static_cast<char>(wide[i + 2]);
      out[3] = static_cast<char>(wide[i + 3]);
      out += 4;
      i += 4;
    }
    if (i == n) break;
    char32_t cp = wide[i];
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 < n && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
        ++i;
      } else {
        cp = kReplacement;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return static_cast<size_t>(out - start);
}

void AppendWideAsUtf8(const char16_t* wide, size_t n, std::string* out) {
  const size_t at = out->size();
  out->resize(at + n * kMaxUtf8PerUnit);
  out->resize(at + WriteWideAsUtf8(wide, n, &(*out)[at]));
}

std::string WideToUtf8(const WString& wide) {
  std::string out;
  out.reserve(wide.size());
  AppendWideAsUtf8(wide.data(), wide.size(), &out);
  return out;
}

WString ToWide(long long value) { return Ascii(std::to_string(value).c_str()); }

WString Ascii(const char* ascii) {
  WString out;
  for (; ascii && *ascii; ++ascii) out.push_back(static_cast<unsigned char>(*ascii));
  return out;
}

}  // namespace quillet
