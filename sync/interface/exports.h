// The behaviour behind the exported C functions, in C++ so that it can be linked into tests
// directly. exports.cc forwards each C export to one of these inside an exception guard.
#ifndef QUILLET_SYNC_INTERFACE_EXPORTS_H_
#define QUILLET_SYNC_INTERFACE_EXPORTS_H_

#include "quillet.h"

namespace quillet {

void DoInitCloudSync(const CloudSyncInitInfo* info, const SyncCallbacks* callbacks);
void DoUninitCloudSync();
int DoSyncData(const char* syncType, const char* dataType, int order, int batchNumber,
               bool withReason, int reason);
void DoEndSync(const char* syncType, const char** listA, int listACount, const char** listB,
               int listBCount);
void DoStopSync(const char* syncType);
void DoDownUnstructFile(const char* syncType, const char* context, const FileItem* files,
                        int fileCount);
int DoParseException(int code);

}  // namespace quillet

#endif  // QUILLET_SYNC_INTERFACE_EXPORTS_H_
