// The floor client's protocol operations: the requests the library sends in the benchmark's
// rounds (LOCK with its keep-alive, PROPFIND of the etags, REPORT, POST add, UNLOCK), with
// the library's URLs and request bodies byte for byte. Each answer is parsed once, with one
// reader; nothing is logged. A status is the library's: the HTTP status, or the answer's
// "result"."code" when it has one; a 2xx answer that cannot be read whole counts as 0.
#ifndef QUILLET_BENCH_FLOOR_PROTOCOL_H_
#define QUILLET_BENCH_FLOOR_PROTOCOL_H_

#include <json/json.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/floor_transport.h"

namespace quillet {
namespace bench {

struct CloudEtag {
  std::string guid;
  std::string etag;
};

struct CloudRecord {
  std::string guid;
  std::string data;
};

struct AddAnswer {
  std::string guid;
  int status = 0;
  std::string etag;
};

using CtagMap = std::map<std::string, std::string>;  // data type -> ctag
using LuidData = std::pair<std::string, std::string>;

inline bool IsSuccess(int status) { return status >= 200 && status <= 299; }

// The bodies, exactly as the library writes them. Uploads carry no "props": the
// benchmark's data type ("bookmark") is one of those the library uploads without a hash.
std::string DownloadBody(const std::vector<std::string>& guids);
std::string AddBody(const std::vector<LuidData>& items);

class FloorProtocol {
 public:
  // serverUrl ends with "/".
  FloorProtocol(FloorTransport& transport, const std::string& serverUrl, const std::string& user,
                const std::string& syncType);
  ~FloorProtocol();  // stops the keep-alive thread
  FloorProtocol(const FloorProtocol&) = delete;
  FloorProtocol& operator=(const FloorProtocol&) = delete;

  // Takes the lock and starts keeping it alive at the interval the server names.
  int Lock(CtagMap* ctags);
  // Releases the lock; the keep-alive thread stops whatever the answer.
  int Unlock(CtagMap* ctags);
  int GetEtagList(const std::string& dataType, std::vector<CloudEtag>* etags);
  int Download(const std::string& dataType, const std::vector<std::string>& guids,
               std::vector<CloudRecord>* records);
  // answers: by luid, the first answer for a luid kept.
  int Add(const std::string& dataType, const std::vector<LuidData>& items,
          std::map<std::string, AddAnswer>* answers);

 private:
  // Sends and parses; *root is the answer's object (null when the status is not 2xx).
  int Send(const std::string& url, const std::string& body, Json::CharReader& reader,
           Json::Value* root);
  void KeepAlive();
  void StopKeepAlive();

  FloorTransport& transport_;
  const std::string baseUrl_;
  std::unique_ptr<Json::CharReader> reader_;  // the sync thread's

  std::mutex timerMutex_;
  std::condition_variable timerWake_;
  std::thread timer_;
  bool stopTimer_ = false;
  int intervalSeconds_ = 60;
};

}  // namespace bench
}  // namespace quillet

#endif  // QUILLET_BENCH_FLOOR_PROTOCOL_H_
