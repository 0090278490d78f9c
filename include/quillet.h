/**
 * \file quillet.h
 * \brief The C interface of the Quillet sync library: records, callback table, eight
 * functions, result codes, and who owns what.
 *
 * A host application loads the library, calls InitCloudSync() once per sync type with its
 * account data and a table of callbacks, and then runs rounds: one or more SyncData calls
 * (SyncDataNoReason() or SyncDataWithReason(), the first with order 1), each synchronising
 * one data type in both directions, closed by EndSync(). UninitCloudSync() tears
 * everything down. The host guide (docs/host-guide.md) walks through a whole host.
 *
 * \par Text
 * Every char text crossing this interface, in either direction, is UTF-8 and
 * NUL-terminated. A null text handed in by the host reads as the empty text. Paths too:
 * on Windows DbPath and LogPath may hold any character, either separator and more than
 * MAX_PATH characters (host guide, "Paths a host may pass").
 *
 * \par Memory
 * Arrays the library hands to a callback belong to the library and are freed when the
 * callback returns; the host must not keep pointers into them. Arrays a callback returns
 * through an out-parameter belong to the host: the library sets the out-parameters to NULL
 * and 0 before the call, reads the array, then hands the same pointer and count back to the
 * matching Free callback exactly once, and only when the pointer is not NULL. The token of
 * SyncCallbacks::GetNewAT is the one exception: SyncCallbacks::FreeAT is always called
 * once, NULL included.
 *
 * \par Threads and call order
 * One sync call (SyncDataNoReason(), SyncDataWithReason(), EndSync(), DownUnstructFile())
 * runs at a time in the process. Another sync call made while one runs, from inside a
 * callback or from another thread, is refused at once: SyncData calls return
 * #QUILLET_INVALID_CALL, EndSync() and DownUnstructFile() do nothing. A refused call
 * touches no session, the store, the cloud lock or the host, and writes an error line
 * naming the running call; the running call goes on undisturbed. Callbacks run on the
 * thread of the sync call; SyncCallbacks::GetNewAT may also run on the thread that keeps
 * the cloud lock alive, and calls from there are refused the same way.
 *  - StopSync() and ParseException() may be called from any thread at any time, callbacks
 *    included, also during or after UninitCloudSync().
 *  - InitCloudSync() made from inside a callback, or while a sync call runs, changes
 *    nothing.
 *  - UninitCloudSync() made from another thread asks the running call to stop (as
 *    StopSync() does), waits until it has returned (at its next check point with
 *    #QUILLET_STOPPED, or when its transfer ends), then tears down. Made from inside a
 *    callback, it cannot wait: it asks the running call to stop and returns; the teardown
 *    happens when the running call returns, before it hands its result (#QUILLET_STOPPED)
 *    back. Made from the keep-alive thread's GetNewAT while no sync call runs, the
 *    teardown happens at the next call into the library. From then on, every sync call
 *    returns #QUILLET_NO_SESSION until the next InitCloudSync().
 *
 * \par Versions
 * This header describes the interface of Quillet 1.x. On Linux the eight functions carry
 * the symbol version QUILLET_1 in libQuillet.so.1; on Windows they are the undecorated
 * exports of Quillet.dll. What may change within 1.x is written in docs/abi.md.
 * QUILLET_VERSION_STRING and its parts name the release this header belongs to; the
 * "versionname" 1.0.0.300 in report records is the report protocol's version, not the
 * library's.
 */
#ifndef QUILLET_H_
#define QUILLET_H_

/**
 * \def QUILLET_VERSION_MAJOR
 * \brief The release's major version: the soname (libQuillet.so.1) and what a host's
 * binary depends on.
 * \def QUILLET_VERSION_MINOR
 * \brief The release's minor version: a later minor release only adds.
 * \def QUILLET_VERSION_PATCH
 * \brief The release's patch version.
 * \def QUILLET_VERSION_STRING
 * \brief "MAJOR.MINOR.PATCH" of the release.
 * \def QUILLET_VERSION_NUMBER
 * \brief MAJOR * 1000000 + MINOR * 1000 + PATCH, for comparisons in preprocessor conditions.
 */
/* The build checks these against the project's version: they cannot drift apart. */
#define QUILLET_VERSION_MAJOR 1
#define QUILLET_VERSION_MINOR 0
#define QUILLET_VERSION_PATCH 0
#define QUILLET_VERSION_STRING "1.0.0"
#define QUILLET_VERSION_NUMBER 1000000

/**
 * \def QUILLET_CALL
 * \brief The calling convention of the exports and of every callback: __cdecl on Windows
 * (the platform's C convention), empty elsewhere. Declare callbacks with it.
 */
/**
 * \def QUILLET_API
 * \brief Marks the eight exports: imported from Quillet.dll on Windows
 * (__declspec(dllimport)), plain declarations elsewhere.
 */
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

/**
 * \name Result codes
 * Results of SyncDataNoReason() and SyncDataWithReason(). These never change. Any other
 * value is a status of the cloud service, passed through; ParseException() classifies it.
 * @{
 */
#define QUILLET_OK 0                  /**< Success. */
#define QUILLET_NO_SESSION (-1)       /**< No InitCloudSync() for this sync type. */
/**
 * Taking the cloud lock failed, or the round's lock was lost: a keep-alive renewal failed,
 * or none succeeded within an interval and a half of the last one. After a lost lock no
 * further write is sent in the round, the running call and every later call of the round
 * return this code, and EndSync() stores no collection tag of the round.
 */
#define QUILLET_LOCK_FAILED 1001
#define QUILLET_INVALID_CALL 2003     /**< An init field is empty, order broke the round rule,
                                       * or another sync call was running (see Threads and
                                       * call order above); or QueryLocalIds answered a
                                       * list that is not one (a negative count, a NULL
                                       * array with a non-zero count): then nothing is
                                       * uploaded or deleted. */
#define QUILLET_NO_RESPONSE 2004      /**< The cloud gave no response (protocol status 0). */
#define QUILLET_ETAGS_UNREADABLE 2006 /**< The stored etag rows cannot be read. */
#define QUILLET_STORE_FAILED 2007     /**< The local store cannot be opened or written. */
#define QUILLET_NO_CLIENT 2008        /**< Logging cannot start, or no client for the sync
                                       * type. */
#define QUILLET_CLOUD_LOCKED 2009     /**< Another device holds the cloud lock (status 3). */
#define QUILLET_INTERNAL_ERROR 2010   /**< An unexpected internal failure; logged, nothing
                                       * kept. */
#define QUILLET_STOPPED 2027          /**< Cancelled by StopSync(). */
#define QUILLET_LIMIT_REACHED 50001   /**< The bookmark collection is full. */
/** @} */

/* ---- Records ---- */

/** \brief Argument of InitCloudSync(): seven texts. All must be non-empty when a sync call
 * runs. */
typedef struct CloudSyncInitInfo {
  const char* SyncType;      /**< Kind of client ("browser", "calendar"); key of the session. */
  const char* AT;            /**< Access token. */
  const char* UserID;        /**< User id; also names the user's local store. */
  const char* AppID;         /**< Application id. */
  const char* DbPath;        /**< Directory of the local store (absolute). */
  const char* LogPath;       /**< Directory of the log files (absolute). */
  const char* SyncServerUrl; /**< Base URL of the sync service. */
} CloudSyncInitInfo;

/** \brief One file entry of a record's file lists: four texts the library carries
 * unchanged between the host and its own records; their meaning is the host's. */
typedef struct FileItem {
  const char* itemA; /**< First text, carried unchanged. */
  const char* itemB; /**< Second text, carried unchanged. */
  const char* itemC; /**< Third text, carried unchanged. */
  const char* itemD; /**< Fourth text, carried unchanged. */
} FileItem;

/** \brief One structured record. The library carries textA, textC, textD, the numbers and
 * the file lists unchanged; it uses luid, guid, etag and data. A list with no entries is
 * NULL, 0. In records the library makes itself (downloaded records, upload results) the
 * texts it does not fill are empty, numberA and numberC are 0 and numberB is 2. */
typedef struct StructDataItem {
  const char* luid;  /**< The host's local id (of a modified record: from the cloud link). */
  const char* textA; /**< Carried unchanged. */
  const char* guid;  /**< The cloud's id of the record. */
  const char* etag;  /**< The cloud record's version; filled in upload results. */
  int numberA;       /**< Carried unchanged. */
  const char* textC; /**< Carried unchanged. */
  const char* textD; /**< Carried unchanged. */
  const char* data;  /**< The record's content as stored on the cloud. */
  int numberB;       /**< Carried unchanged. */
  int numberC;       /**< Carried unchanged. */
  FileItem* filesA;  /**< First file list, carried unchanged (NULL when empty). */
  int filesACount;   /**< Entries of filesA. */
  FileItem* filesB;  /**< Second file list, carried unchanged (NULL when empty). */
  int filesBCount;   /**< Entries of filesB. */
  FileItem* filesC;  /**< Third file list, carried unchanged (NULL when empty). */
  int filesCCount;   /**< Entries of filesC. */
} StructDataItem;

/** \brief One local id. state 1 marks a record to upload; valueB and valueC are carried
 * through. */
typedef struct LocalIdItem {
  const char* luid; /**< The host's local id. */
  int state;        /**< 1: added or changed here since its last upload; else 0. */
  int valueB;       /**< Carried through unchanged. */
  int valueC;       /**< Carried through unchanged. */
} LocalIdItem;

/** \brief The host's answer for one downloaded record. */
typedef struct UpdateResultItem {
  const char* luid;  /**< The local id the record is stored under. */
  const char* guid;  /**< The cloud id of the record handed over. */
  int numberA;       /**< Carried unchanged. */
  FileItem* filesA;  /**< First file list, carried unchanged (NULL when empty). */
  int filesACount;   /**< Entries of filesA. */
  FileItem* filesB;  /**< Second file list, carried unchanged (NULL when empty). */
  int filesBCount;   /**< Entries of filesB. */
} UpdateResultItem;

/** \brief One key with its list of texts. */
typedef struct KeyedTextList {
  const char* key;     /**< The key. */
  const char** values; /**< Its texts. */
  int valueCount;      /**< Entries of values. */
} KeyedTextList;

/** \brief One local record read for upload: luid and data are used. */
typedef struct QueryResultItem {
  const char* luid;  /**< The local id asked for. */
  const char* data;  /**< The record's content to upload. */
  const char* textA; /**< Carried unchanged. */
  FileItem* files;   /**< File list, carried unchanged (NULL when empty). */
  int filesCount;    /**< Entries of files. */
  const char* textC; /**< Carried unchanged. */
  int numberB;       /**< Carried unchanged. */
  int numberC;       /**< Carried unchanged. */
} QueryResultItem;

/** \brief Callback table: 17 entries in this order. Every entry but Reserved must be set:
 * InitCloudSync() refuses a table with another NULL entry. The table is copied; it need
 * not outlive the call. Return values of callbacks are not used. */
typedef struct SyncCallbacks {
  /** 0: counts of cloud adds, modifies and deletes found before records are handed over. */
  void(QUILLET_CALL* OnDownloadSyncStart)(const char* dataType, int addCount, int modifyCount,
                                          int deleteCount);
  /** 1: before the upload pass of a data type. */
  void(QUILLET_CALL* OnUploadSyncStart)(const char* dataType);
  /** 2: store downloaded records; answer one result (luid, guid) per stored record
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
   *
   * What is left is the protocol's limit: an add carries no key of the host's, so a record
   * edited between the lost answer and the next round no longer matches and comes back as
   * a second copy (with the content it had when it was sent). */
  void(QUILLET_CALL* UpdateStructData)(const char* dataType, const StructDataItem* added,
                                       int addedCount, const StructDataItem* modified,
                                       int modifiedCount, UpdateResultItem** results,
                                       int* resultCount);
  /** 3: frees a non-NULL result array of entry 2. */
  void(QUILLET_CALL* FreeUpdateStructDataResult)(UpdateResultItem* results, int resultCount);
  /** 4: the access token expired; store a new host-allocated token through the pointer. */
  void(QUILLET_CALL* GetNewAT)(char** token);
  /** 5: frees what entry 4 left, always called once, with NULL when it left nothing. */
  void(QUILLET_CALL* FreeAT)(char* token);
  /** 6: delete local records by luid; answer the luids deleted. The library drops the cloud
   * link of each luid answered and keeps the others. Like entry 2 this may come again for
   * luids already deleted (a round that ended early), so a luid the host no longer holds
   * counts as deleted: answer it too. Otherwise its kept link makes every later round send
   * a deletion that the cloud, which no longer has the record, cannot apply. Leave out
   * only the luids of records the host still holds. */
  void(QUILLET_CALL* DeleteData)(const char* dataType, const char** luids, int luidCount,
                                 char*** results, int* resultCount);
  /** 7: frees a non-NULL result array of entry 6. */
  void(QUILLET_CALL* FreeDeleteDataResult)(char** results, int resultCount);
  /** 8: every local id of the data type with its change state (the library passes mode 1).
   * The library removes from the cloud every synced record missing here, so only a count of
   * 0 means "no records": a negative count, or a NULL array with a count, fails the upload
   * pass with QUILLET_INVALID_CALL and nothing is sent.
   *
   * Every result callback is held to what it was asked: results for luids or guids not in
   * the call (entries 2, 6, 10), repeated or with a NULL id are ignored and logged, never
   * uploaded or linked; an invalid list from entries 2, 6 and 10 reads as empty. */
  void(QUILLET_CALL* QueryLocalIds)(const char* dataType, int mode, LocalIdItem** items,
                                    int* itemCount);
  /** 9: frees a non-NULL result array of entry 8. */
  void(QUILLET_CALL* FreeLocalIdList)(LocalIdItem* items, int itemCount);
  /** 10: read local records by luid for upload. */
  void(QUILLET_CALL* DataQueryByID)(const char* dataType, const char** luids, int luidCount,
                                    QueryResultItem** results, int* resultCount);
  /** 11: frees a non-NULL result array of entry 10. */
  void(QUILLET_CALL* FreeQueryResultList)(QueryResultItem* results, int resultCount);
  /** 12: reserved; never called. Keeps the table layout. */
  void(QUILLET_CALL* Reserved)(const char* dataType, const FileItem* filesA, int filesACount,
                               const FileItem* filesB, int filesBCount, const KeyedTextList* extra,
                               int extraCount, unsigned char flag, int value);
  /** 13: the outcome of uploads: added and modified records (with their new etags), the
   * guids deleted from the cloud, and extra keyed lists (empty today). */
  void(QUILLET_CALL* UpdateSyncResult)(const char* dataType, const StructDataItem* added,
                                       int addedCount, const StructDataItem* modified,
                                       int modifiedCount, const char** deletedGuids,
                                       int deletedCount, const KeyedTextList* extra,
                                       int extraCount);
  /** 14: end of each sync call that reached the passes, with its result code. */
  void(QUILLET_CALL* OnDataSyncEnd)(const char* dataType, int resultCode);
  /** 15: end of a round, in EndSync(). */
  void(QUILLET_CALL* OnSyncEnd)(void);
  /** 16: one report record: kind is 1; keys and values are parallel arrays of count texts
   * in ascending key order. */
  void(QUILLET_CALL* ReportEvent)(int kind, const char* businessId, const char** keys,
                                  const char** values, int count);
} SyncCallbacks;

/* ---- Exported functions ---- */

/**
 * \brief Registers a session for info->SyncType with a copy of the callback table, which
 * becomes the table every session calls.
 *
 * A second call for a registered sync type changes nothing. No network or disk access.
 * NULL arguments are ignored. Refused, with an error line and nothing registered (later
 * sync calls for that sync type return #QUILLET_NO_SESSION), when an entry of the table
 * other than Reserved is NULL, when made from inside a callback and while a sync call
 * runs.
 * \param info the account, directories and service address; copied.
 * \param callbacks the host's table; copied.
 */
QUILLET_API void QUILLET_CALL InitCloudSync(const CloudSyncInitInfo* info,
                                            const SyncCallbacks* callbacks);

/**
 * \brief Destroys every session without releasing cloud locks.
 *
 * A running sync call is first asked to stop; from another thread this waits until it has
 * returned, from inside a callback the teardown happens when it returns (see Threads and
 * call order above).
 */
QUILLET_API void QUILLET_CALL UninitCloudSync(void);

/**
 * \brief Synchronises one data type. batchNumber outside 1..100 becomes 100.
 * \param syncType the session's sync type, as in InitCloudSync().
 * \param dataType the data type (collection) to synchronise, e.g. "bookmark".
 * \param order 1 for the first call of a round.
 * \param batchNumber records per download and upload batch.
 * \return a QUILLET_* code or a cloud status; #QUILLET_NO_SESSION when syncType has no
 * session.
 */
QUILLET_API int QUILLET_CALL SyncDataNoReason(const char* syncType, const char* dataType, int order,
                                              int batchNumber);

/**
 * \brief As SyncDataNoReason(), with batchNumber passed on unchanged and reason reported
 * to the host as "operation_type".
 * \param syncType the session's sync type, as in InitCloudSync().
 * \param dataType the data type (collection) to synchronise.
 * \param order 1 for the first call of a round.
 * \param batchNumber records per download and upload batch, passed on unchanged.
 * \param reason why the host syncs; reported in the call's report record.
 * \return as SyncDataNoReason().
 */
QUILLET_API int QUILLET_CALL SyncDataWithReason(const char* syncType, const char* dataType,
                                                int order, int batchNumber, int reason);

/**
 * \brief Closes the round: releases the cloud lock, stores the collection tags of the data
 * types that did not fail, calls SyncCallbacks::OnSyncEnd.
 *
 * When the round's lock was lost (see #QUILLET_LOCK_FAILED) the lock is still released,
 * but no collection tag is stored: the tags the service reports may cover another
 * device's changes that this one never downloaded, so the next round compares again and
 * brings them down. The log and a report ("business_id" "LOCK", "returnCode" 1001) say
 * the lock was lost. A renewal stuck in its request holds this call up about a second.
 *
 * Returns at once when listA or listB is NULL; the list contents are not used.
 * <b>EndSync(type, NULL, 0, NULL, 0) does nothing at all: no unlock, no tags stored, no
 * OnSyncEnd; the cloud lock stays until it expires and other devices get 1001 meanwhile.
 * Pass two lists that are not NULL, empty ones will do:</b>
 * \code
 * const char* none[1] = {NULL};
 * EndSync(type, none, 0, none, 0);
 * \endcode
 * \param syncType the session's sync type.
 * \param listA a list of texts (not NULL), not otherwise used.
 * \param listACount entries of listA.
 * \param listB a list of texts (not NULL), not otherwise used.
 * \param listBCount entries of listB.
 */
QUILLET_API void QUILLET_CALL EndSync(const char* syncType, const char** listA, int listACount,
                                      const char** listB, int listBCount);

/**
 * \brief Asks a running sync call of syncType to stop at its next check point (result
 * #QUILLET_STOPPED, 2027).
 *
 * The request stays in force for the session's life. Safe from any thread at any time,
 * callbacks included; does nothing when syncType has no session.
 * \param syncType the session's sync type.
 */
QUILLET_API void QUILLET_CALL StopSync(const char* syncType);

/**
 * \brief Accepts file requests and checks that the session has a cloud client; downloads
 * nothing and makes no callback. Returns at once when files is NULL.
 * \param syncType the session's sync type.
 * \param context a text, not otherwise used.
 * \param files the file requests.
 * \param fileCount entries of files.
 */
QUILLET_API void QUILLET_CALL DownUnstructFile(const char* syncType, const char* context,
                                               const FileItem* files, int fileCount);

/**
 * \brief Classifies a result code. Pure.
 * \param code a result code or cloud status.
 * \return 100 for 10001-10099, 20001-20099, 30001-30099, 40001-40099 and 50001; 120 for
 * 2100-2106, 500 and 406; 127 otherwise.
 */
QUILLET_API int QUILLET_CALL ParseException(int code);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_H_ */
