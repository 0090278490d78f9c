// Internal wide-text forms of the records that cross the host boundary, and the init
// record every part of the library is configured from. Plain values; copy freely.
#ifndef QUILLET_SYNC_COMMON_RECORDS_H_
#define QUILLET_SYNC_COMMON_RECORDS_H_

#include <map>
#include <vector>

#include "sync/platform/text.h"

namespace quillet {

using TextList = std::vector<WString>;
using TextMap = std::map<WString, WString>;
using KeyedTextMap = std::map<WString, TextList>;

// The seven texts of the host's init record, in the host's order.
struct NetConfig {
  WString SyncType;
  WString AT;
  WString UserID;
  WString AppID;
  WString DbPath;
  WString LogPath;
  WString SyncServerUrl;
};

struct FileRecord {
  WString itemA;
  WString itemB;
  WString itemC;
  WString itemD;
};
using FileList = std::vector<FileRecord>;

// Structured record. Defaults are those of records the library creates itself.
struct StructRecord {
  WString luid;
  WString textA;
  WString guid;
  WString etag;
  int numberA = 0;
  WString textC;
  WString textD;
  WString data;
  int numberB = 2;
  int numberC = 0;
  FileList filesA;
  FileList filesB;
  FileList filesC;
};
using StructList = std::vector<StructRecord>;

struct LocalIdRecord {
  WString luid;
  int state = 0;
  int valueB = 0;
  int valueC = 0;
};

struct UpdateResultRecord {
  WString luid;
  WString guid;
  int numberA = 0;
  FileList filesA;
  FileList filesB;
};

struct QueryResultRecord {
  WString luid;
  WString data;
  WString textA;
  FileList files;
  WString textC;
  int numberB = 0;
  int numberC = 0;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_COMMON_RECORDS_H_
