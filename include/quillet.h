/*
 * quillet.h - the C interface of the Quillet sync library.
 *
 * A host application loads the library, calls InitCloudSync once per sync type with its
 * account data and a table of callbacks, and then runs rounds: one or more SyncData calls
 * (the first with order 1), each synchronising one data type in both directions, closed by
 * EndSync. UninitCloudSync tears everything down.
 *
 * Text: every char text crossing this interface, in either direction, is UTF-8 and
 * NUL-terminated. A null text handed in by the host reads as the empty text.
 *
 * Memory: arrays the library hands to a callback belong to the library and are freed
 * when the callback returns; the host must not keep pointers into them. Arrays a callback
 * returns through an out-parameter belong to the host: the library sets the out-parameters
 * to NULL and 0 before the call, reads the array, then hands the same pointer and count
 * back to the matching Free callback exactly once, and only when the pointer is not NULL.
 * The token of GetNewAT is the one exception: FreeAT is always called once, NULL included.
 *
 * Threads and call order: one sync call (SyncDataNoReason, SyncDataWithReason, EndSync,
 * DownUnstructFile) runs at a time in the process. Another sync call made while one runs,
 * from inside a callback or from another thread, is refused at once: SyncData calls return
 * QUILLET_INVALID_CALL, EndSync and DownUnstructFile do nothing. A refused call touches no
 * session, the store, the cloud lock or the host, and writes an error line naming the
 * running call; the running call goes on undisturbed. Callbacks run on the thread of the
 * sync call; GetNewAT may also run on the thread that keeps the cloud lock alive, and calls
 * from there are refused the same way.
 *  - StopSync and ParseException may be called from any thread at any time, callbacks
 *    included, also during or after UninitCloudSync.
 *  - InitCloudSync made from inside a callback, or while a sync call runs, changes nothing.
 *  - UninitCloudSync made from another thread asks the running call to stop (as StopSync
 *    does), waits until it has returned (at its next check point with QUILLET_STOPPED, or
 *    when its transfer ends), then tears down. Made from inside a callback, it cannot wait:
 *    it asks the running call to stop and returns; the teardown happens when the running
 *    call returns, before it hands its result (QUILLET_STOPPED) back. From then on, every
 *    sync call returns QUILLET_NO_SESSION until the next InitCloudSync.
 */
#ifndef QUILLET_H_
#define QUILLET_H_

#if defined(_WIN32)
#define QUILLET_CALL __cdecl
#if defined(QUILLET_BUILDING)
#define QUILLET_API __declspec(dllexport)
#else
#define QUILLET_API __declspec(dllimport)
#endif
#else
#define QUILLET_CALL
#if defined(QUILLET_BUILDING)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes of SyncDataNoReason / SyncDataWithReason. These never change. ---- */
#define QUILLET_OK 0                  /* success */
#define QUILLET_NO_SESSION (-1)       /* no InitCloudSync for this sync type */
#define QUILLET_LOCK_FAILED 1001      /* taking the cloud lock failed */
#define QUILLET_INVALID_CALL 2003     /* an init field is empty, order broke the round rule, or
                                       * another sync call was running (see Threads above) */
#define QUILLET_NO_RESPONSE 2004      /* the cloud gave no response (protocol status 0) */
#define QUILLET_ETAGS_UNREADABLE 2006 /* the stored etag rows cannot be read */
#define QUILLET_STORE_FAILED 2007     /* the local store cannot be opened or written */
#define QUILLET_NO_CLIENT 2008        /* logging cannot start, or no client for the sync type */
#define QUILLET_CLOUD_LOCKED 2009     /* another device holds the cloud lock (status 3) */
#define QUILLET_INTERNAL_ERROR 2010   /* an unexpected internal failure; logged, nothing kept */
#define QUILLET_STOPPED 2027          /* cancelled by StopSync */
#define QUILLET_LIMIT_REACHED 50001   /* the bookmark collection is full */
/* Any other value is a status of the cloud service, passed through. */

/* ---- Records ---- */

/* Argument of InitCloudSync: seven texts. All must be non-empty when a sync call runs. */
typedef struct CloudSyncInitInfo {
  const char* SyncType;      /* kind of client ("browser", "calendar"); key of the session */
  const char* AT;            /* access token */
  const char* UserID;        /* user id; also names the user's local store */
  const char* AppID;         /* application id */
  const char* DbPath;        /* directory of the local store (absolute) */
  const char* LogPath;       /* directory of the log files (absolute) */
  const char* SyncServerUrl; /* base URL of the sync service */
} CloudSyncInitInfo;

typedef struct FileItem {
  const char* itemA;
  const char* itemB;
  const char* itemC;
  const char* itemD;
} FileItem;

/* One structured record. The library carries textA, textC, textD, the numbers and the file
 * lists unchanged; it uses luid, guid, etag and data. A list with no entries is NULL, 0. */
typedef struct StructDataItem {
  const char* luid;
  const char* textA;
  const char* guid;
  const char* etag;
  int numberA;
  const char* textC;
  const char* textD;
  const char* data;
  int numberB;
  int numberC;
  FileItem* filesA;
  int filesACount;
  FileItem* filesB;
  int filesBCount;
  FileItem* filesC;
  int filesCCount;
} StructDataItem;

/* One local id. state 1 marks a record to upload; valueB and valueC are carried through. */
typedef struct LocalIdItem {
  const char* luid;
  int state;
  int valueB;
  int valueC;
} LocalIdItem;

/* The host's answer for one downloaded record. */
typedef struct UpdateResultItem {
  const char* luid;
  const char* guid;
  int numberA;
  FileItem* filesA;
  int filesACount;
  FileItem* filesB;
  int filesBCount;
} UpdateResultItem;

/* One key with its list of texts. */
typedef struct KeyedTextList {
  const char* key;
  const char** values;
  int valueCount;
} KeyedTextList;

/* One local record read for upload: luid and data are used. */
typedef struct QueryResultItem {
  const char* luid;
  const char* data;
  const char* textA;
  FileItem* files;
  int filesCount;
  const char* textC;
  int numberB;
  int numberC;
} QueryResultItem;

/* ---- Callback table: 17 entries in this order. Every entry but Reserved must be set:
 * InitCloudSync refuses a table with another NULL entry. ---- */
typedef struct SyncCallbacks {
  /* 0: counts of cloud adds, modifies and deletes found before records are handed over. */
  void(QUILLET_CALL* OnDownloadSyncStart)(const char* dataType, int addCount, int modifyCount,
                                          int deleteCount);
  /* 1: before the upload pass of a data type. */
  void(QUILLET_CALL* OnUploadSyncStart)(const char* dataType);
  /* 2: store downloaded records; answer one result (luid, guid) per stored record
   * (host-allocated). A record not answered gets no cloud link; it is offered again once
   * the collection next changes.
   *
   * Delivery is at least once. The host stores a batch before the library records it, so
   * a process that ends in between (a crash, a kill) gets the same records again: an
   * addition with the same guid, a modification once more. And an upload whose answer was
   * lost (the cloud stored the record, the host never learnt its guid) comes back as an
   * addition with a new guid while the host's own copy still waits for its first upload.
   * To make both harmless:
   *  - treat the guid as the key: when the host already holds a record under an added
   *    record's guid, it updates that record and answers its luid, never a second copy;
   *  - where it can compare contents: when no record holds the guid but a local record
   *    that still waits for its first upload (listed with state 1, no guid known for it)
   *    has the same content, the host adopts it (stores the guid, clears its change
   *    state) and answers its luid, so it is not uploaded a second time.
   * What is left is the protocol's limit: an add carries no key of the host's, so a record
   * edited between the lost answer and the next round no longer matches and comes back as
   * a second copy (with the content it had when it was sent). */
  void(QUILLET_CALL* UpdateStructData)(const char* dataType, const StructDataItem* added,
                                       int addedCount, const StructDataItem* modified,
                                       int modifiedCount, UpdateResultItem** results,
                                       int* resultCount);
  /* 3: frees a non-NULL result array of entry 2. */
  void(QUILLET_CALL* FreeUpdateStructDataResult)(UpdateResultItem* results, int resultCount);
  /* 4: the access token expired; store a new host-allocated token through the pointer. */
  void(QUILLET_CALL* GetNewAT)(char** token);
  /* 5: frees what entry 4 left, always called once, with NULL when it left nothing. */
  void(QUILLET_CALL* FreeAT)(char* token);
  /* 6: delete local records by luid; answer the luids deleted. The library drops the cloud
   * link of each luid answered and keeps the others. Like entry 2 this may come again for
   * luids already deleted (a round that ended early), so a luid the host no longer holds
   * counts as deleted: answer it too. Otherwise its kept link makes every later round send
   * a deletion that the cloud, which no longer has the record, cannot apply. Leave out
   * only the luids of records the host still holds. */
  void(QUILLET_CALL* DeleteData)(const char* dataType, const char** luids, int luidCount,
                                 char*** results, int* resultCount);
  /* 7: frees a non-NULL result array of entry 6. */
  void(QUILLET_CALL* FreeDeleteDataResult)(char** results, int resultCount);
  /* 8: every local id of the data type with its change state (the library passes mode 1). */
  void(QUILLET_CALL* QueryLocalIds)(const char* dataType, int mode, LocalIdItem** items,
                                    int* itemCount);
  /* 9: frees a non-NULL result array of entry 8. */
  void(QUILLET_CALL* FreeLocalIdList)(LocalIdItem* items, int itemCount);
  /* 10: read local records by luid for upload. */
  void(QUILLET_CALL* DataQueryByID)(const char* dataType, const char** luids, int luidCount,
                                    QueryResultItem** results, int* resultCount);
  /* 11: frees a non-NULL result array of entry 10. */
  void(QUILLET_CALL* FreeQueryResultList)(QueryResultItem* results, int resultCount);
  /* 12: reserved; never called. Keeps the table layout. */
  void(QUILLET_CALL* Reserved)(const char* dataType, const FileItem* filesA, int filesACount,
                               const FileItem* filesB, int filesBCount, const KeyedTextList* extra,
                               int extraCount, unsigned char flag, int value);
  /* 13: the outcome of uploads: added and modified records (with their new etags), the
   * guids deleted from the cloud, and extra keyed lists (empty today). */
  void(QUILLET_CALL* UpdateSyncResult)(const char* dataType, const StructDataItem* added,
                                       int addedCount, const StructDataItem* modified,
                                       int modifiedCount, const char** deletedGuids,
                                       int deletedCount, const KeyedTextList* extra,
                                       int extraCount);
  /* 14: end of each sync call that reached the passes, with its result code. */
  void(QUILLET_CALL* OnDataSyncEnd)(const char* dataType, int resultCode);
  /* 15: end of a round, in EndSync. */
  void(QUILLET_CALL* OnSyncEnd)(void);
  /* 16: one report record: kind is 1; keys and values are parallel arrays of count texts in
   * ascending key order. */
  void(QUILLET_CALL* ReportEvent)(int kind, const char* businessId, const char** keys,
                                  const char** values, int count);
} SyncCallbacks;

/* ---- Exported functions ---- */

/* Registers a session for info->SyncType with a copy of the callback table, which becomes
 * the table every session calls. A second call for a registered sync type changes nothing.
 * No network or disk access. NULL arguments are ignored. Refused, with an error line and
 * nothing registered (later sync calls for that sync type return QUILLET_NO_SESSION), when
 * an entry of the table other than Reserved is NULL, when made from inside a callback and
 * while a sync call runs. */
QUILLET_API void QUILLET_CALL InitCloudSync(const CloudSyncInitInfo* info,
                                            const SyncCallbacks* callbacks);

/* Destroys every session without releasing cloud locks. A running sync call is first asked
 * to stop; from another thread this waits until it has returned, from inside a callback
 * the teardown happens when it returns (see Threads above). */
QUILLET_API void QUILLET_CALL UninitCloudSync(void);

/* Synchronises one data type. batchNumber outside 1..100 becomes 100. Returns a QUILLET_*
 * code or a cloud status; QUILLET_NO_SESSION when syncType has no session. */
QUILLET_API int QUILLET_CALL SyncDataNoReason(const char* syncType, const char* dataType, int order,
                                              int batchNumber);

/* As SyncDataNoReason, with batchNumber passed on unchanged and reason reported to the host
 * as "operation_type". */
QUILLET_API int QUILLET_CALL SyncDataWithReason(const char* syncType, const char* dataType,
                                                int order, int batchNumber, int reason);

/* Closes the round: releases the cloud lock, stores the collection tags of the data types
 * that did not fail, calls OnSyncEnd. Returns at once when listA or listB is NULL; the list
 * contents are not used. */
QUILLET_API void QUILLET_CALL EndSync(const char* syncType, const char** listA, int listACount,
                                      const char** listB, int listBCount);

/* Asks a running sync call of syncType to stop at its next check point (result 2027). The
 * request stays in force for the session's life. Safe from any thread at any time,
 * callbacks included; does nothing when syncType has no session. */
QUILLET_API void QUILLET_CALL StopSync(const char* syncType);

/* Accepts file requests and checks that the session has a cloud client; downloads nothing
 * and makes no callback. Returns at once when files is NULL. */
QUILLET_API void QUILLET_CALL DownUnstructFile(const char* syncType, const char* context,
                                               const FileItem* files, int fileCount);

/* Classifies a result code: 100 for 10001-10099, 20001-20099, 30001-30099, 40001-40099 and
 * 50001; 120 for 2100-2106, 500 and 406; 127 otherwise. Pure. */
QUILLET_API int QUILLET_CALL ParseException(int code);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_H_ */
