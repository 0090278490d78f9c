#include "sync/common/active_adapter.h"
#include "sync/interface/c_arena.h"
#include "sync/interface/exports.h"
#include "sync/interface/sync_process_adapter_c.h"
#include "sync/session/session_registry.h"

namespace quillet {
namespace {

TextList ReadTextArray(const char** texts, int count) {
  TextList out;
  for (int i = 0; i < count; ++i) out.push_back(Utf8ToWide(texts[i]));
  return out;
}

bool InRange(int code, int low, int high) { return code >= low && code <= high; }

}  // namespace

void DoInitCloudSync(const CloudSyncInitInfo* info, const SyncCallbacks* callbacks) {
  // A host that hands in no record or no table cannot be called back: nothing to register.
  if (!info || !callbacks) return;
  NetConfig config;
  config.SyncType = Utf8ToWide(info->SyncType);
  config.AT = Utf8ToWide(info->AT);
  config.UserID = Utf8ToWide(info->UserID);
  config.AppID = Utf8ToWide(info->AppID);
  config.DbPath = Utf8ToWide(info->DbPath);
  config.LogPath = Utf8ToWide(info->LogPath);
  config.SyncServerUrl = Utf8ToWide(info->SyncServerUrl);
  if (FindSession(config.SyncType)) return;
  SetActiveAdapter(std::make_shared<SyncProcessAdapter_c>(*callbacks));
  const WString key = config.SyncType;
  Sessions()[key] = std::make_unique<SyncSession>(std::move(config), ServicesForNewSession());
}

void DoUninitCloudSync() { Sessions().clear(); }

int DoSyncData(const char* syncType, const char* dataType, int order, int batchNumber,
               bool withReason, int reason) {
  const WString type = Utf8ToWide(syncType);
  SyncSession* session = FindSession(type);
  if (!session) return QUILLET_NO_SESSION;
  const WString data = Utf8ToWide(dataType);
  if (!withReason && (batchNumber < 1 || batchNumber > 100)) batchNumber = 100;
  try {
    if (withReason) return session->SyncDataWithRsn(type, data, order, batchNumber, reason);
    return session->SyncData(type, data, order, batchNumber);
  } catch (...) {
    // Whatever the pass did is unknown, so the round must not store this type's ctag.
    session->MarkDataTypeFailed(data);
    throw;
  }
}

void DoEndSync(const char* syncType, const char** listA, int listACount, const char** listB,
               int listBCount) {
  if (!listA || !listB) return;
  // The lists are read (the host may rely on them being valid) but carry nothing used.
  ReadTextArray(listA, listACount);
  ReadTextArray(listB, listBCount);
  if (SyncSession* session = FindSession(Utf8ToWide(syncType))) {
    session->EndSync(Utf8ToWide(syncType));
  }
}

void DoStopSync(const char* syncType) {
  if (SyncSession* session = FindSession(Utf8ToWide(syncType))) session->RequestStop();
}

void DoDownUnstructFile(const char* syncType, const char* context, const FileItem* files,
                        int fileCount) {
  if (!files) return;
  Utf8ToWide(context);
  ReadFiles(files, fileCount);
  // No file is fetched: the request only proves that the round has a client.
  if (SyncSession* session = FindSession(Utf8ToWide(syncType))) session->CheckNetInst();
}

int DoParseException(int code) {
  if (InRange(code, 10001, 10099) || InRange(code, 20001, 20099) || InRange(code, 30001, 30099) ||
      InRange(code, 40001, 40099) || code == 50001) {
    return 100;
  }
  switch (code) {
    case 2100:
    case 2101:
    case 2102:
    case 2103:
    case 2104:
    case 2105:
    case 2106:
    case 500:
    case 406:
      return 120;
    default:
      return 127;
  }
}

}  // namespace quillet
