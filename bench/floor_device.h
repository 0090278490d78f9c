// The floor client: one device that keeps its records in memory and syncs one data type
// the way the library's round does it for the benchmark's phases, with nothing around the
// work the protocol and the store need: the same requests (per method, same URLs, headers
// and bodies) and the same etag store operations, no host callbacks, no logging, no
// UTF-16. Covers what the benchmark's rounds meet: cloud and local additions, and rounds
// with nothing to do. A cloud modification or deletion, or a local one, fails the round
// rather than being skipped in silence.
#ifndef QUILLET_BENCH_FLOOR_DEVICE_H_
#define QUILLET_BENCH_FLOOR_DEVICE_H_

#include <map>
#include <string>

#include "bench/floor_protocol.h"
#include "bench/floor_store.h"
#include "bench/floor_transport.h"

namespace quillet {
namespace bench {

inline constexpr char kDataType[] = "bookmark";

struct FloorRecord {
  std::string data;
  std::string guid;      // empty until the cloud knows the record
  bool changed = false;  // to upload
};

class FloorDevice {
 public:
  // serverUrl ends with "/"; storePath: the database file (its directory exists).
  FloorDevice(ConnectionMode mode, FloorIdentity identity, std::string serverUrl,
              std::string storePath, std::string caFile);

  // A record made here, to upload; returns its luid.
  std::string Add(const std::string& data);
  // One round: store prepared, lock, download step, upload step, unlock, ctag stored.
  // False with the reason in *error.
  bool Sync(int batch, std::string* error);

  const std::map<std::string, FloorRecord>& records() const { return records_; }

 private:
  bool DownloadStep(FloorProtocol& protocol, const std::string& currentCtag, int batch,
                    std::string* error);
  bool UploadStep(FloorProtocol& protocol, int batch, std::string* error);

  const ConnectionMode mode_;
  const FloorIdentity identity_;
  const std::string serverUrl_;
  const std::string caFile_;
  FloorStore store_;
  std::map<std::string, FloorRecord> records_;  // by luid, in the order the host lists them
  long nextLuid_ = 1;
};

}  // namespace bench
}  // namespace quillet

#endif  // QUILLET_BENCH_FLOOR_DEVICE_H_
