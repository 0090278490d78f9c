#include "sync/interface/c_arena.h"
#include "sync/interface/exports.h"
#include "sync/interface/sync_process_adapter_c.h"
#include "sync/log/logger.h"
#include "sync/session/session_registry.h"

namespace quillet {
namespace {

TextList ReadTextArray(const char** texts, int count) {
  TextList out;
  for (int i = 0; i < count; ++i) out.push_back(Utf8ToWide(texts[i]));
  return out;
}

bool InRange(int code, int low, int high) { return code >= low && code <= high; }

// The entries a host must set: every one the library calls. Reserved is never called.
struct RequiredEntry {
  const char* name;
  bool set;
};

// Name of the first entry the library would call that the host left NULL, or null.
const char* MissingCallback(const SyncCallbacks& c) {
  const RequiredEntry entries[] = {
      {"OnDownloadSyncStart", c.OnDownloadSyncStart != nullptr},
      {"OnUploadSyncStart", c.OnUploadSyncStart != nullptr},
      {"UpdateStructData", c.UpdateStructData != nullptr},
      {"FreeUpdateStructDataResult", c.FreeUpdateStructDataResult != nullptr},
      {"GetNewAT", c.GetNewAT != nullptr},
      {"FreeAT", c.FreeAT != nullptr},
      {"DeleteData", c.DeleteData != nullptr},
      {"FreeDeleteDataResult", c.FreeDeleteDataResult != nullptr},
      {"QueryLocalIds", c.QueryLocalIds != nullptr},
      {"FreeLocalIdList", c.FreeLocalIdList != nullptr},
      {"DataQueryByID", c.DataQueryByID != nullptr},
      {"FreeQueryResultList", c.FreeQueryResultList != nullptr},
      {"UpdateSyncResult", c.UpdateSyncResult != nullptr},
      {"OnDataSyncEnd", c.OnDataSyncEnd != nullptr},
      {"OnSyncEnd", c.OnSyncEnd != nullptr},
      {"ReportEvent", c.ReportEvent != nullptr},
  };
  for (const RequiredEntry& entry : entries) {
    if (!entry.set) return entry.name;
  }
  return nullptr;
}

SessionRegistry& Registry() { return SessionRegistry::Instance(); }

}  // namespace

void DoInitCloudSync(const CloudSyncInitInfo* info, const SyncCallbacks* callbacks) {
  // A host that hands in no record or no table cannot be called back: nothing to register.
  if (!info || !callbacks) return;
  // Refused here rather than crashing at the first callback that happens to be NULL.
  if (const char* missing = MissingCallback(*callbacks)) {
    LogError(u"InitCloudSync refused: the callback table entry ", Ascii(missing), u" is NULL");
    return;
  }
  NetConfig config;
  config.SyncType = Utf8ToWide(info->SyncType);
  config.AT = Utf8ToWide(info->AT);
  config.UserID = Utf8ToWide(info->UserID);
  config.AppID = Utf8ToWide(info->AppID);
  config.DbPath = Utf8ToWide(info->DbPath);
  config.LogPath = Utf8ToWide(info->LogPath);
  config.SyncServerUrl = Utf8ToWide(info->SyncServerUrl);
  Registry().Register(std::move(config), std::make_shared<SyncProcessAdapter_c>(*callbacks));
}

void DoUninitCloudSync() { Registry().TearDown(); }

int DoSyncData(const char* syncType, const char* dataType, int order, int batchNumber,
               bool withReason, int reason) {
  const WString type = Utf8ToWide(syncType);
  SessionRegistry::SyncCall call =
      Registry().EnterSyncCall(withReason ? "SyncDataWithReason" : "SyncDataNoReason", type);
  if (!call.admitted()) return QUILLET_INVALID_CALL;
  SyncSession* session = call.session();
  if (!session) return QUILLET_NO_SESSION;
  const WString data = Utf8ToWide(dataType);
  if (!withReason && (batchNumber < 1 || batchNumber > 100)) batchNumber = 100;
  int code = 0;
  try {
    code = withReason ? session->SyncDataWithRsn(type, data, order, batchNumber, reason)
                      : session->SyncData(type, data, order, batchNumber);
  } catch (...) {
    // Whatever the pass did is unknown, so the round must not store this type's ctag.
    session->MarkDataTypeFailed(data);
    throw;
  }
  // An UninitCloudSync from one of this call's callbacks stopped it and has now destroyed
  // the session: the host learns that the call was stopped.
  if (call.Leave()) code = QUILLET_STOPPED;
  return code;
}

void DoEndSync(const char* syncType, const char** listA, int listACount, const char** listB,
               int listBCount) {
  if (!listA || !listB) return;
  // The lists are read (the host may rely on them being valid) but carry nothing used.
  ReadTextArray(listA, listACount);
  ReadTextArray(listB, listBCount);
  const WString type = Utf8ToWide(syncType);
  SessionRegistry::SyncCall call = Registry().EnterSyncCall("EndSync", type);
  if (SyncSession* session = call.session()) session->EndSync(type);
}

void DoStopSync(const char* syncType) { Registry().RequestStop(Utf8ToWide(syncType)); }

void DoDownUnstructFile(const char* syncType, const char* context, const FileItem* files,
                        int fileCount) {
  if (!files) return;
  Utf8ToWide(context);
  ReadFiles(files, fileCount);
  SessionRegistry::SyncCall call =
      Registry().EnterSyncCall("DownUnstructFile", Utf8ToWide(syncType));
  // No file is fetched: the request only proves that the round has a client.
  if (SyncSession* session = call.session()) session->CheckNetInst();
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
