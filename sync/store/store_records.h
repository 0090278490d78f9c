// Records of the local sync store. All texts are wide and empty by default.
#ifndef QUILLET_SYNC_STORE_STORE_RECORDS_H_
#define QUILLET_SYNC_STORE_STORE_RECORDS_H_

#include <map>

#include "sync/platform/text.h"

namespace quillet {

struct CtagItem {
  WString ctag_name;
  WString ctag_value;
  WString sync_token;
};

struct EtagItem {
  WString luid;
  WString type;
  WString etag;
  WString uuid;
  WString guid;
  WString hash;
  int recycle_status = 0;
};

// One UPDATE: column name -> value maps, used in ascending column order.
struct EtagUpdate {
  std::map<WString, WString> whereFields;
  std::map<WString, WString> setFields;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_STORE_STORE_RECORDS_H_
