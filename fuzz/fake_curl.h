// Control of the fake libcurl that the fuzz build links in place of the real one: the
// library's transport code runs unchanged, and curl_easy_perform delivers scripted answers
// through the write and header callbacks the transport registered.
//
// The fake also checks how the library uses libcurl (every handle and list given back, no
// line break inside a request header line) and aborts the run when that breaks.
#ifndef QUILLET_FUZZ_FAKE_CURL_H_
#define QUILLET_FUZZ_FAKE_CURL_H_

#include <curl/curl.h>

#include <string>
#include <vector>

namespace quillet {
namespace fuzz {

struct FakeAnswer {
  long status = 0;  // what CURLINFO_RESPONSE_CODE reads afterwards
  // What curl_easy_perform returns once the answer was delivered: an error after a status
  // line and part of a body is what a cut connection looks like.
  CURLcode code = CURLE_OK;
  std::vector<std::string> headerLines;  // handed to the header callback as they are
  std::string body;
};

// The answers the requests of the calling thread get, in turn. Once they are used up, and
// for requests of any other thread (the keep-alive timer), the transfer fails to connect.
void SetFakeAnswers(std::vector<FakeAnswer> answers);
// Drops the answers left unused, so that an input leaves nothing allocated behind it.
void ClearFakeAnswers();

struct FakeCurlState {
  int performs = 0;              // by the scripted thread since SetFakeAnswers
  CURLcode lastCode = CURLE_OK;  // returned by the last of those
  int openEasy = 0;              // easy handles not cleaned up
  int openShares = 0;            // share handles not cleaned up
  int openListNodes = 0;         // curl_slist nodes not freed
};
FakeCurlState FakeCurl();

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_FAKE_CURL_H_
