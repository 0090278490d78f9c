// The input format of the protocol fuzz targets: the answers of the server, as text that
// libFuzzer's mutations and the dictionary work on well.
//
//   input  := answer ("\n~~~\n" answer)*        at most kMaxAnswers are read
//   answer := head ["\n\n" body]                 the body is every byte after the empty line
//   head   := status [" " curlcode] ("\n" header-line)*
//
// status: up to three digits, as libcurl reads a status line ("" reads as 0). curlcode:
// what curl_easy_perform returns after delivering the answer, modulo CURL_LAST (28 is a
// timeout, 18 a body cut short). Each header line goes to the header callback with its
// "\n"; write "Lock-Token: x\r" for a header as servers send it.
#ifndef QUILLET_FUZZ_ANSWER_SCRIPT_H_
#define QUILLET_FUZZ_ANSWER_SCRIPT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fake_curl.h"

namespace quillet {
namespace fuzz {

constexpr size_t kMaxAnswers = 4;
extern const char kAnswerSeparator[];  // "\n~~~\n"

std::vector<FakeAnswer> ParseAnswers(const uint8_t* data, size_t size);

// The inverse, for the seed maker: one answer in the input format.
std::string FormatAnswer(const FakeAnswer& answer);

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_ANSWER_SCRIPT_H_
