// The UTF-8/UTF-16 conversions, against glibc's iconv as an independent decoder:
//  - the input read as UTF-8: valid text converts exactly as iconv converts it and back to
//    the same bytes; invalid text never fails and shows at least one U+FFFD; the result is
//    always well-formed UTF-16, never longer in units than the input in bytes;
//  - the input read as UTF-16 (little-endian pairs): the UTF-8 made is always valid, and
//    reads back as the same text with each lone surrogate replaced by U+FFFD;
//  - JSON escaping of that text, as request bodies use it, reads back with jsoncpp as the
//    same text.
#include <iconv.h>
#include <json/json.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_fail.h"
#include "sync/net/json_util.h"
#include "sync/platform/platform.h"
#include "sync/platform/text.h"

using namespace quillet;
using quillet::fuzz::FuzzFail;

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Converts with iconv; false when it refuses any part of the input.
bool Convert(iconv_t cd, const std::string& in, std::string* out) {
  if (cd == reinterpret_cast<iconv_t>(-1)) FuzzFail("iconv cannot convert UTF-8 and UTF-16");
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // fresh state
  std::string buffer(in.size() * 4 + 16, '\0');
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outPtr = &buffer[0];
  size_t outLeft = buffer.size();
  const bool ok =
      iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
  buffer.resize(buffer.size() - outLeft);
  *out = buffer;
  return ok;
}

bool IconvUtf8ToUtf16(const std::string& in, std::string* out) {
  static const iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  return Convert(cd, in, out);
}

bool IconvUtf16ToUtf8(const std::string& in, std::string* out) {
  static const iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
  return Convert(cd, in, out);
}

WString FromUtf16Le(const std::string& bytes) {
  WString text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return text;
}

std::string ToUtf16Le(const WString& text) {
  std::string bytes;
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

bool IsWellFormed(const WString& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
      ++i;
    } else if (IsHigh(text[i]) || IsLow(text[i])) {
      return false;
    }
  }
  return true;
}

WString ReplaceLoneSurrogates(const WString& text) {
  WString out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
      out.push_back(text[i]);
      out.push_back(text[++i]);
    } else if (IsHigh(text[i]) || IsLow(text[i])) {
      out.push_back(kReplacement);
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

void CheckUtf8Input(const std::string& bytes) {
  const WString wide = Utf8ToWide(bytes);
  if (!IsWellFormed(wide)) FuzzFail("Utf8ToWide made a lone surrogate");
  if (wide.size() > bytes.size()) FuzzFail("Utf8ToWide made more units than there were bytes");
  std::string expected;
  if (IconvUtf8ToUtf16(bytes, &expected)) {
    if (ToUtf16Le(wide) != expected) FuzzFail("valid UTF-8 read differently from iconv");
    if (WideToUtf8(wide) != bytes) FuzzFail("valid UTF-8 did not round-trip");
  } else if (wide.find(kReplacement) == WString::npos) {
    FuzzFail("invalid UTF-8 read without U+FFFD");
  }
  // The C-string form stops at the first NUL, as the host's texts do.
  if (Utf8ToWide(bytes.c_str()) != Utf8ToWide(std::string(bytes.c_str()))) {
    FuzzFail("the NUL-terminated form read differently");
  }
  if (platform::AnsiToWide(bytes) != wide) FuzzFail("the ANSI form differs from UTF-8 here");
}

void CheckUtf16Input(const std::string& bytes) {
  const WString wide = FromUtf16Le(bytes);
  const std::string utf8 = WideToUtf8(wide);
  std::string ignored;
  if (!IconvUtf8ToUtf16(utf8, &ignored)) FuzzFail("WideToUtf8 made invalid UTF-8");
  const WString cleaned = ReplaceLoneSurrogates(wide);
  if (Utf8ToWide(utf8) != cleaned) FuzzFail("UTF-16 did not round-trip through UTF-8");
  if (IsWellFormed(wide)) {
    std::string viaIconv;
    if (!IconvUtf16ToUtf8(ToUtf16Le(wide), &viaIconv) || viaIconv != utf8) {
      FuzzFail("valid UTF-16 written differently from iconv");
    }
  }
  if (platform::WideToAnsi(wide) != utf8) FuzzFail("the ANSI form differs from UTF-8 here");

  // What a request body carries must read back as the text the library meant to send.
  static const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  const std::string json = "\"" + WideToUtf8(JsonEscape(wide)) + "\"";
  Json::Value value;
  std::string errors;
  if (!reader->parse(json.data(), json.data() + json.size(), &value, &errors) ||
      !value.isString() || value.asString() != utf8) {
    FuzzFail("JsonEscape did not read back as the same text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckUtf8Input(bytes);
  CheckUtf16Input(bytes);
  long long number = 0;
  std::memcpy(&number, bytes.data(), bytes.size() < sizeof number ? bytes.size() : sizeof number);
  if (WideToUtf8(ToWide(number)) != std::to_string(number)) FuzzFail("ToWide misprinted");
  return 0;
}
