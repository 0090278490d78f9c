// JSON reading and writing rules of the protocol client, on jsoncpp.
//
// Reading is lenient about what the parser managed to build and strict about member types:
// the decoders rely on the helpers throwing Json::Exception (a std::exception) with the
// library's message when a member has the wrong type. All functions are thread-safe.
#ifndef QUILLET_SYNC_NET_JSON_UTIL_H_
#define QUILLET_SYNC_NET_JSON_UTIL_H_

#include <json/json.h>

#include <string>

#include "sync/platform/text.h"

namespace quillet {

// Parses text in strict mode (no comments, the root must be an object or an array) and
// returns whatever was built, also after a syntax error: an empty text gives null, a
// truncated object the members read before the break. Never throws.
Json::Value ParseStrict(const std::string& text);

// Parses one protocol answer completely: strict mode as above, and a member name that
// occurs twice in one object is an error too. False, with the parser's message in errors,
// when the text is not one whole JSON document; root is then left null. Never throws.
bool ParseComplete(const std::string& text, Json::Value& root, std::string& errors);

// One answer body parsed once, for both its result code and its decoder: as ParseComplete,
// with root keeping what the parser built before an error (for the lenient result code).
struct ParsedAnswer {
  Json::Value root;
  bool complete = false;
  std::string errors;  // the parser's message when not complete
};
// An answer whose tree would outgrow DecodeBudget(text.size()), or that nests deeper than
// kMaxAnswerDepth, is refused before any of it is built: complete false, root null.
void ParseOnce(const std::string& text, ParsedAnswer& parsed);

// The answers nest four deep (root, list, element, "props"); the rest is room for members a
// server may add that the library never reads.
constexpr int kMaxAnswerDepth = 16;
// The most the parser's tree of one answer may take: 16 bytes per body byte plus 64 MiB.
// The tree costs about 100 bytes per value and node (a real etag list ~10 times its text),
// so a junk answer of empty lists or zeros (40 times its text and more) is refused
// while any real list, and every small answer whatever it holds, passes.
unsigned long long DecodeBudget(size_t bodyBytes);
// What the tree of text would take, estimated from one pass over it that builds nothing;
// 0 when it nests deeper than maxDepth. Never reads past the text, whatever it holds.
unsigned long long EstimateTreeBytes(const std::string& text, int maxDepth);

// True for an object or null: both read as an object, null as one without members.
bool IsObjectLike(const Json::Value& value);

// The member name of value when value is an object that has it; null otherwise (also for a
// value that is neither object nor null, which counts as an object without members).
const Json::Value* FindMember(const Json::Value& value, const char* name);

// A text member: a string, null -> "", true/false -> "true"/"false"; anything else throws.
WString ReadText(const Json::Value& value);
// An int member: a number within the signed 32-bit range (fractions cut), null -> 0,
// true/false -> 1/0; anything else throws.
int ReadInt(const Json::Value& value);

// text escaped for the inside of a JSON string: quote, backslash and control characters.
WString JsonEscape(const WString& text);
// The same, appended to out.
void AppendJsonEscaped(const WString& text, WString* out);

}  // namespace quillet

#endif  // QUILLET_SYNC_NET_JSON_UTIL_H_
