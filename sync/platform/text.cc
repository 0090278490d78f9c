#include "sync/platform/text.h"

#include <cstdint>
#include <type_traits>

namespace quillet {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(char32_t cp, WString* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Most text is ASCII: a run of it is widened or narrowed in one pass, without a capacity
// check per character. Returns the index of the first character not in the run.
template <typename From, typename To>
size_t CopyAsciiRun(const From* in, size_t i, size_t n, std::basic_string<To>* out) {
  size_t end = i;
  while (end < n && static_cast<uint32_t>(static_cast<std::make_unsigned_t<From>>(in[end])) < 0x80) {
    ++end;
  }
  if (end == i) return i;
  const size_t at = out->size();
  out->resize(at + (end - i));
  To* dst = &(*out)[at];
  for (size_t k = i; k < end; ++k) *dst++ = static_cast<To>(in[k]);
  return end;
}

}  // namespace

WString Utf8ToWide(const std::string& utf8) { return Utf8ToWide(utf8.data(), utf8.size()); }

WString Utf8ToWide(const char* utf8, size_t n) {
  WString out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    i = CopyAsciiRun(utf8, i, n, &out);
    if (i == n) break;
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
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
      AppendUtf16(cp, &out);
      i += len;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      i += used;
    }
  }
  return out;
}

WString Utf8ToWide(const char* utf8) {
  return utf8 ? Utf8ToWide(utf8, std::char_traits<char>::length(utf8)) : WString();
}

size_t WriteWideAsUtf8(const char16_t* wide, size_t n, char* out) {
  char* const start = out;
  for (size_t i = 0; i < n; ++i) {
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
