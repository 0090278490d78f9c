// The libcurl functions the library calls, and nothing else: a missing one is a link error,
// which is how a new libcurl call in the transport shows up here.
#include "fuzz/fake_curl.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "fuzz/fuzz_fail.h"

namespace quillet {
namespace fuzz {
namespace {

struct FakeShare {
  curl_lock_function lock = nullptr;
  curl_unlock_function unlock = nullptr;
  void* userdata = nullptr;
};

struct FakeEasy {
  curl_write_callback write = nullptr;
  void* writeData = nullptr;
  curl_write_callback header = nullptr;
  void* headerData = nullptr;
  const curl_slist* headers = nullptr;
  const char* postFields = nullptr;  // libcurl does not copy it: read during the transfer
  std::string url;                   // libcurl copies string options
  FakeShare* share = nullptr;
  long responseCode = 0;
};

std::mutex scriptMutex;
std::deque<FakeAnswer> script;
std::thread::id scriptedThread;
int performs = 0;
CURLcode lastCode = CURLE_OK;

std::atomic<int> openEasy{0};
std::atomic<int> openShares{0};
std::atomic<int> openListNodes{0};

// Takes the next answer for this thread; false when it gets none.
bool NextAnswer(FakeAnswer* answer) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  if (std::this_thread::get_id() != scriptedThread) return false;
  ++performs;
  if (script.empty()) return false;
  *answer = std::move(script.front());
  script.pop_front();
  return true;
}

// What the scripted thread's last transfer returned.
CURLcode NoteResult(CURLcode code) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  if (std::this_thread::get_id() == scriptedThread) lastCode = code;
  return code;
}

void CheckRequest(const FakeEasy& easy) {
  if (easy.url.empty()) FuzzFail("request without a URL");
  for (const curl_slist* node = easy.headers; node != nullptr; node = node->next) {
    if (node->data == nullptr) FuzzFail("null request header line");
    // A line break would let an answer's text inject headers into the next request.
    if (strpbrk(node->data, "\r\n") != nullptr) FuzzFail("line break inside a request header");
  }
  // Reads the body as libcurl would, while the transfer runs.
  if (easy.postFields != nullptr) (void)strlen(easy.postFields);
}

// Feeds text to a callback in pieces of at most CURL_MAX_WRITE_SIZE, as libcurl does; false
// when the callback took less than it was given (libcurl then ends with CURLE_WRITE_ERROR).
bool Deliver(curl_write_callback callback, void* userdata, const std::string& text) {
  if (callback == nullptr) return true;
  size_t at = 0;
  do {
    const size_t piece =
        text.size() - at < CURL_MAX_WRITE_SIZE ? text.size() - at : CURL_MAX_WRITE_SIZE;
    // libcurl hands out a writable buffer; a copy keeps the answer itself unchanged.
    std::string buffer = text.substr(at, piece);
    if (callback(&buffer[0], 1, piece, userdata) != piece) return false;
    at += piece;
  } while (at < text.size());
  return true;
}

CURLcode Transfer(FakeEasy* easy) {
  if (easy->share != nullptr && easy->share->lock != nullptr) {
    // Name resolution goes through the shared DNS cache under the share's lock.
    easy->share->lock(easy, CURL_LOCK_DATA_DNS, CURL_LOCK_ACCESS_SINGLE, easy->share->userdata);
    easy->share->unlock(easy, CURL_LOCK_DATA_DNS, easy->share->userdata);
  }
  CheckRequest(*easy);
  FakeAnswer answer;
  if (!NextAnswer(&answer)) return CURLE_COULDNT_CONNECT;
  easy->responseCode = answer.status;
  const std::string statusLine = "HTTP/1.1 " + std::to_string(answer.status) + " \r\n";
  if (!Deliver(easy->header, easy->headerData, statusLine)) return CURLE_WRITE_ERROR;
  for (const std::string& line : answer.headerLines) {
    if (!Deliver(easy->header, easy->headerData, line)) return CURLE_WRITE_ERROR;
  }
  if (!Deliver(easy->header, easy->headerData, "\r\n")) return CURLE_WRITE_ERROR;
  if (!answer.body.empty() && !Deliver(easy->write, easy->writeData, answer.body)) {
    return CURLE_WRITE_ERROR;
  }
  return answer.code;
}

CURLcode Perform(FakeEasy* easy) { return NoteResult(Transfer(easy)); }

}  // namespace

void SetFakeAnswers(std::vector<FakeAnswer> answers) {
  std::lock_guard<std::mutex> lock(scriptMutex);
  script.assign(std::make_move_iterator(answers.begin()), std::make_move_iterator(answers.end()));
  scriptedThread = std::this_thread::get_id();
  performs = 0;
  lastCode = CURLE_OK;
}

void ClearFakeAnswers() {
  std::lock_guard<std::mutex> lock(scriptMutex);
  script.clear();
  script.shrink_to_fit();
}

FakeCurlState FakeCurl() {
  std::lock_guard<std::mutex> lock(scriptMutex);
  FakeCurlState state;
  state.performs = performs;
  state.lastCode = lastCode;
  state.openEasy = openEasy.load();
  state.openShares = openShares.load();
  state.openListNodes = openListNodes.load();
  return state;
}

}  // namespace fuzz
}  // namespace quillet

using quillet::fuzz::FakeEasy;
using quillet::fuzz::FakeShare;

// libcurl's own signatures end their fixed arguments with an enum, which clang warns about
// in va_start; the enum is an int on every ABI libcurl supports.
#pragma clang diagnostic ignored "-Wvarargs"

extern "C" {

CURLcode curl_global_init(long /*flags*/) { return CURLE_OK; }

CURL* curl_easy_init(void) {
  ++quillet::fuzz::openEasy;
  return new FakeEasy();
}

void curl_easy_cleanup(CURL* handle) {
  if (handle == nullptr) return;
  --quillet::fuzz::openEasy;
  delete static_cast<FakeEasy*>(handle);
}

CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  if (handle == nullptr) return CURLE_BAD_FUNCTION_ARGUMENT;
  FakeEasy* easy = static_cast<FakeEasy*>(handle);
  va_list args;
  va_start(args, option);
  // The option's number tells the type of its argument.
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    (void)va_arg(args, long);
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    void* pointer = va_arg(args, void*);
    switch (option) {
      case CURLOPT_URL:
        easy->url = pointer ? static_cast<const char*>(pointer) : "";
        break;
      case CURLOPT_WRITEDATA:
        easy->writeData = pointer;
        break;
      case CURLOPT_HEADERDATA:
        easy->headerData = pointer;
        break;
      case CURLOPT_HTTPHEADER:
        easy->headers = static_cast<const curl_slist*>(pointer);
        break;
      case CURLOPT_POSTFIELDS:
        easy->postFields = static_cast<const char*>(pointer);
        break;
      case CURLOPT_SHARE:
        easy->share = static_cast<FakeShare*>(pointer);
        break;
      case CURLOPT_CAINFO:
      case CURLOPT_CAPATH:
      case CURLOPT_PROXY:
      case CURLOPT_SSLCERTTYPE:
        // libcurl copies these strings here: they must be readable now.
        if (pointer != nullptr) (void)strlen(static_cast<const char*>(pointer));
        break;
      default:
        break;
    }
  } else if (option < CURLOPTTYPE_OFF_T) {
    curl_write_callback function = va_arg(args, curl_write_callback);
    if (option == CURLOPT_WRITEFUNCTION) easy->write = function;
    if (option == CURLOPT_HEADERFUNCTION) easy->header = function;
  } else if (option < CURLOPTTYPE_BLOB) {
    (void)va_arg(args, curl_off_t);
  } else {
    (void)va_arg(args, void*);
  }
  va_end(args);
  return CURLE_OK;
}

CURLcode curl_easy_perform(CURL* handle) {
  if (handle == nullptr) return CURLE_BAD_FUNCTION_ARGUMENT;
  return quillet::fuzz::Perform(static_cast<FakeEasy*>(handle));
}

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  if (handle == nullptr) return CURLE_BAD_FUNCTION_ARGUMENT;
  va_list args;
  va_start(args, info);
  CURLcode result = CURLE_UNKNOWN_OPTION;
  if (info == CURLINFO_RESPONSE_CODE) {
    *va_arg(args, long*) = static_cast<FakeEasy*>(handle)->responseCode;
    result = CURLE_OK;
  }
  va_end(args);
  return result;
}

const char* curl_easy_strerror(CURLcode code) {
  return code == CURLE_OK ? "No error" : "fake transfer error";
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
  curl_slist* node = static_cast<curl_slist*>(malloc(sizeof(curl_slist)));
  if (node == nullptr) return nullptr;
  node->data = strdup(text);
  node->next = nullptr;
  if (node->data == nullptr) {
    free(node);
    return nullptr;
  }
  ++quillet::fuzz::openListNodes;
  if (list == nullptr) return node;
  curl_slist* last = list;
  while (last->next != nullptr) last = last->next;
  last->next = node;
  return list;
}

void curl_slist_free_all(curl_slist* list) {
  while (list != nullptr) {
    curl_slist* next = list->next;
    free(list->data);
    free(list);
    --quillet::fuzz::openListNodes;
    list = next;
  }
}

CURLSH* curl_share_init(void) {
  ++quillet::fuzz::openShares;
  return new FakeShare();
}

CURLSHcode curl_share_setopt(CURLSH* handle, CURLSHoption option, ...) {
  if (handle == nullptr) return CURLSHE_INVALID;
  FakeShare* share = static_cast<FakeShare*>(handle);
  va_list args;
  va_start(args, option);
  CURLSHcode result = CURLSHE_OK;
  switch (option) {
    case CURLSHOPT_LOCKFUNC:
      share->lock = va_arg(args, curl_lock_function);
      break;
    case CURLSHOPT_UNLOCKFUNC:
      share->unlock = va_arg(args, curl_unlock_function);
      break;
    case CURLSHOPT_USERDATA:
      share->userdata = va_arg(args, void*);
      break;
    case CURLSHOPT_SHARE:
    case CURLSHOPT_UNSHARE:
      (void)va_arg(args, int);
      break;
    default:
      result = CURLSHE_BAD_OPTION;
  }
  va_end(args);
  return result;
}

CURLSHcode curl_share_cleanup(CURLSH* handle) {
  if (handle == nullptr) return CURLSHE_INVALID;
  --quillet::fuzz::openShares;
  delete static_cast<FakeShare*>(handle);
  return CURLSHE_OK;
}

}  // extern "C"
