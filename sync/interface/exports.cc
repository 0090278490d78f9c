// The eight exported C functions. Each forwards to its C++ counterpart and keeps every C++
// exception inside the library: it is logged and, where the function has a result, answered
// with QUILLET_INTERNAL_ERROR.
#include "sync/interface/exports.h"

#include <exception>

#include "sync/log/logger.h"

namespace {

void LogEscaped(const char* function, const char* what) {
  try {
    quillet::LogError(quillet::Ascii(function), u" failed with an exception: ",
                      quillet::Utf8ToWide(what));
  } catch (...) {
  }
}

template <typename Call>
int Guarded(const char* function, int onFailure, Call call) {
  int result = onFailure;
  try {
    result = call();
  } catch (const std::exception& e) {
    LogEscaped(function, e.what());
  } catch (...) {
    LogEscaped(function, "unknown");
  }
  // The host may exit or be killed once the call is back: nothing stays in memory.
  quillet::FlushLogs();
  return result;
}

}  // namespace

extern "C" {

QUILLET_API void QUILLET_CALL InitCloudSync(const CloudSyncInitInfo* info,
                                            const SyncCallbacks* callbacks) {
  Guarded("InitCloudSync", 0, [&] {
    quillet::DoInitCloudSync(info, callbacks);
    return 0;
  });
}

QUILLET_API void QUILLET_CALL UninitCloudSync(void) {
  Guarded("UninitCloudSync", 0, [] {
    quillet::DoUninitCloudSync();
    return 0;
  });
}

QUILLET_API int QUILLET_CALL SyncDataNoReason(const char* syncType, const char* dataType, int order,
                                              int batchNumber) {
  return Guarded("SyncDataNoReason", QUILLET_INTERNAL_ERROR, [&] {
    return quillet::DoSyncData(syncType, dataType, order, batchNumber, false, 0);
  });
}

QUILLET_API int QUILLET_CALL SyncDataWithReason(const char* syncType, const char* dataType,
                                                int order, int batchNumber, int reason) {
  return Guarded("SyncDataWithReason", QUILLET_INTERNAL_ERROR, [&] {
    return quillet::DoSyncData(syncType, dataType, order, batchNumber, true, reason);
  });
}

QUILLET_API void QUILLET_CALL EndSync(const char* syncType, const char** listA, int listACount,
                                      const char** listB, int listBCount) {
  Guarded("EndSync", 0, [&] {
    quillet::DoEndSync(syncType, listA, listACount, listB, listBCount);
    return 0;
  });
}

QUILLET_API void QUILLET_CALL StopSync(const char* syncType) {
  Guarded("StopSync", 0, [&] {
    quillet::DoStopSync(syncType);
    return 0;
  });
}

QUILLET_API void QUILLET_CALL DownUnstructFile(const char* syncType, const char* context,
                                               const FileItem* files, int fileCount) {
  Guarded("DownUnstructFile", 0, [&] {
    quillet::DoDownUnstructFile(syncType, context, files, fileCount);
    return 0;
  });
}

QUILLET_API int QUILLET_CALL ParseException(int code) { return quillet::DoParseException(code); }

}  // extern "C"
