#include "sync/net/json_util.h"

#include <memory>
#include <string>
#include <vector>

namespace quillet {

namespace {

Json::CharReaderBuilder StrictBuilder(bool rejectDuplicates) {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = false;
  builder["strictRoot"] = true;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowNumericKeys"] = false;
  builder["rejectDupKeys"] = rejectDuplicates;
  // Anything but blanks after the document means it is not one whole answer.
  builder["failIfExtra"] = rejectDuplicates;
  return builder;
}

}  // namespace

Json::Value ParseStrict(const std::string& text) {
  static const Json::CharReaderBuilder builder = StrictBuilder(false);
  Json::Value root;
  try {
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    // The success flag is deliberately ignored: the callers use what was built.
    reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  } catch (...) {
    // Too deep a nesting; what was built so far stays.
  }
  return root;
}

unsigned long long DecodeBudget(size_t bodyBytes) {
  // 64-bit arithmetic also on 32-bit builds: a body near the cap times 16 needs it.
  constexpr unsigned long long kFactor = 16;
  constexpr unsigned long long kConstant = 64ull * 1024 * 1024;
  return bodyBytes * kFactor + kConstant;
}

unsigned long long EstimateTreeBytes(const std::string& text, int maxDepth) {
  // What jsoncpp allocates, rounded to malloc's sizes on 64-bit builds: a value in its
  // parent's std::map node, the map of a container, a member name's copy, a string's copy.
  constexpr unsigned long long kValue = 96;
  constexpr unsigned long long kContainer = 64;
  constexpr unsigned long long kString = 32;
  unsigned long long bytes = kValue;  // the root
  std::vector<char> open;  // '{' or '[' of each level
  bool valueNext = true;  // the next token starts a value (not a member name or a close)
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (valueNext && c != ']' && c != '}' && !open.empty()) bytes += kValue;
    valueNext = false;
    switch (c) {
      case '"': {
        const size_t start = i;
        for (++i; i < n && text[i] != '"'; ++i) {
          if (text[i] == '\\') ++i;
        }
        bytes += kString + (i - start);
        break;
      }
      case '{':
      case '[':
        if (static_cast<int>(open.size()) >= maxDepth) return 0;
        open.push_back(c);
        bytes += kContainer;
        valueNext = c == '[';
        break;
      case '}':
      case ']':
        if (!open.empty()) open.pop_back();
        break;
      case ',':
        valueNext = !open.empty() && open.back() == '[';
        break;
      case ':':
        valueNext = true;
        break;
      default:
        break;  // a number or literal: counted as its value already
    }
  }
  return bytes;
}

void ParseOnce(const std::string& text, ParsedAnswer& parsed) {
  static const Json::CharReaderBuilder builder = StrictBuilder(true);
  // A reader per answer: the sync thread and the keep-alive thread parse at once, and a
  // reader kept per thread would be destroyed at the thread's exit, which crashes the
  // process under MinGW's thread-local destructors when a host's worker thread ends. One
  // allocation per request is nothing beside the request itself.
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  parsed.root = Json::Value();
  parsed.errors.clear();
  parsed.complete = false;
  // Checked before the parser builds anything: its tree can take 40 times the text and more.
  const unsigned long long estimate = EstimateTreeBytes(text, kMaxAnswerDepth);
  if (estimate == 0) {
    parsed.errors = "answer nested deeper than " + std::to_string(kMaxAnswerDepth) +
                    " levels, refused";
    return;
  }
  if (estimate > DecodeBudget(text.size())) {
    parsed.errors = "answer of " + std::to_string(text.size()) + " bytes would take about " +
                    std::to_string(estimate) + " bytes to decode, more than the " +
                    std::to_string(DecodeBudget(text.size())) + " allowed, refused";
    return;
  }
  try {
    parsed.complete =
        reader->parse(text.data(), text.data() + text.size(), &parsed.root, &parsed.errors);
  } catch (const std::exception& e) {
    parsed.errors = e.what();  // nesting deeper than the parser allows
  }
  if (!parsed.complete && parsed.errors.empty()) parsed.errors = "incomplete JSON document";
}

bool ParseComplete(const std::string& text, Json::Value& root, std::string& errors) {
  ParsedAnswer parsed;
  ParseOnce(text, parsed);
  errors = std::move(parsed.errors);
  root = parsed.complete ? std::move(parsed.root) : Json::Value();
  return parsed.complete;
}

bool IsObjectLike(const Json::Value& value) { return value.isObject() || value.isNull(); }

const Json::Value* FindMember(const Json::Value& value, const char* name) {
  if (!value.isObject()) return nullptr;
  return value.find(name, name + std::char_traits<char>::length(name));
}

WString ReadText(const Json::Value& value) {
  if (value.isString()) return Utf8ToWide(value.asString());
  if (value.isNull()) return WString();
  if (value.isBool()) return value.asBool() ? u"true" : u"false";
  throw Json::LogicError("Type is not convertible to string");
}

int ReadInt(const Json::Value& value) {
  // asInt already applies the rules: range checks, truncation, null and booleans.
  return value.asInt();
}

void AppendJsonEscaped(const WString& text, WString* out) {
  static const char16_t kHex[] = u"0123456789abcdef";
  size_t plain = 0;  // start of the run that needs no escape, appended in one piece
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0x20 && c != u'"' && c != u'\\') continue;
    out->append(text, plain, i - plain);
    plain = i + 1;
    switch (c) {
      case u'"':
        *out += u"\\\"";
        break;
      case u'\\':
        *out += u"\\\\";
        break;
      case u'\b':
        *out += u"\\b";
        break;
      case u'\f':
        *out += u"\\f";
        break;
      case u'\n':
        *out += u"\\n";
        break;
      case u'\r':
        *out += u"\\r";
        break;
      case u'\t':
        *out += u"\\t";
        break;
      default:
        *out += u"\\u00";
        *out += kHex[c >> 4];
        *out += kHex[c & 0xF];
    }
  }
  out->append(text, plain, WString::npos);
}

WString JsonEscape(const WString& text) {
  WString out;
  out.reserve(text.size());
  AppendJsonEscaped(text, &out);
  return out;
}

}  // namespace quillet
