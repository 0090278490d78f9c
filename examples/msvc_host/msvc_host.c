/* A Quillet host for the MSVC ABI without any C runtime: compiled with
 * clang --target=x86_64-pc-windows-msvc and linked by lld-link against the zip's
 * lib/Quillet.lib and an import library of the few kernel32 functions it calls
 * (kernel32.def), so it needs neither Microsoft's SDK nor anything of MinGW:
 *
 *   clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-builtin -O2 -I include \
 *     -c msvc_host.c -o msvc_host.obj
 *   llvm-dlltool -m i386:x86-64 -d kernel32.def -l kernel32.lib
 *   lld-link /entry:HostEntry /subsystem:console /nodefaultlib /out:msvc_host.exe \
 *     msvc_host.obj lib/Quillet.lib kernel32.lib
 *
 * It runs two rounds as two devices of one user: the first uploads two records, the
 * second, with a store of its own, must receive both with their contents unchanged.
 * Settings come from the environment: QUILLET_HOST_SERVER (the service's base URL),
 * QUILLET_HOST_USER, QUILLET_HOST_DIR (an absolute folder for stores and logs). It prints
 * a line per step and ends with status 0 only when both rounds did what they should. */
#include "quillet.h"

typedef __SIZE_TYPE__ size_t;
typedef void* HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;
#define WINAPI __stdcall
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define HEAP_ZERO_MEMORY 0x00000008

__declspec(dllimport) BOOL WINAPI CreateDirectoryA(const char* path, void* security);
__declspec(dllimport) __declspec(noreturn) void WINAPI ExitProcess(unsigned code);
__declspec(dllimport) DWORD WINAPI GetEnvironmentVariableA(const char* name, char* out,
                                                           DWORD size);
__declspec(dllimport) HANDLE WINAPI GetProcessHeap(void);
__declspec(dllimport) HANDLE WINAPI GetStdHandle(DWORD which);
__declspec(dllimport) void* WINAPI HeapAlloc(HANDLE heap, DWORD flags, size_t size);
__declspec(dllimport) BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void* block);
__declspec(dllimport) BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size,
                                            DWORD* written, void* overlapped);

/* The compiler may call these for copies and zeroed records; no runtime provides them. */
void* memset(void* to, int value, size_t n) {
  unsigned char* p = (unsigned char*)to;
  while (n--) *p++ = (unsigned char)value;
  return to;
}
void* memcpy(void* to, const void* from, size_t n) {
  unsigned char* p = (unsigned char*)to;
  const unsigned char* q = (const unsigned char*)from;
  while (n--) *p++ = *q++;
  return to;
}

/* ---- Text and memory, on the process heap. */
static size_t length(const char* s) {
  size_t n = 0;
  while (s && s[n]) ++n;
  return n;
}
static int same(const char* a, const char* b) {
  a = a ? a : "";
  b = b ? b : "";
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}
static void* allocate(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size); }
static void release(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
static char* copy(const char* s) {
  const size_t n = length(s);
  char* out = (char*)allocate(n + 1);
  if (out) memcpy(out, s ? s : "", n);
  return out;
}
/* Appends text to a fixed buffer, cut at its size. */
static void append(char* to, size_t size, const char* text) {
  size_t n = length(to);
  while (text && *text && n + 1 < size) to[n++] = *text++;
  to[n] = 0;
}
static void append_number(char* to, size_t size, long value) {
  char digits[24];
  int n = 0;
  unsigned long v = value < 0 ? 0UL - (unsigned long)value : (unsigned long)value;
  do digits[n++] = (char)('0' + v % 10); while ((v /= 10) && n < 22);
  if (value < 0) digits[n++] = '-';
  char text[24];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = 0;
  append(to, size, text);
}
static void say(const char* a, const char* b, long number, int withNumber) {
  static char line[1024];
  line[0] = 0;
  append(line, sizeof line, a);
  append(line, sizeof line, b);
  if (withNumber) append_number(line, sizeof line, number);
  append(line, sizeof line, "\r\n");
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length(line), &written, 0);
}

/* ---- The host's records. */
enum { kMaxRecords = 16 };
typedef struct Record {
  char luid[8];
  char* guid;
  char* data;
  int state;
} Record;
static Record g_records[kMaxRecords];
static int g_count;
static const char* g_token = "msvc-token";
static int g_uploaded, g_received, g_passResult = -99999;

static Record* add_record(const char* data, int state) {
  if (g_count == kMaxRecords) return 0;
  Record* r = &g_records[g_count];
  r->luid[0] = 0;
  append_number(r->luid, sizeof r->luid, g_count + 1);
  r->data = copy(data);
  r->guid = 0;
  r->state = state;
  ++g_count;
  return r;
}
static Record* find(const char* luid, const char* guid) {
  for (int i = 0; i < g_count; ++i) {
    if (luid && same(g_records[i].luid, luid)) return &g_records[i];
    if (guid && g_records[i].guid && same(g_records[i].guid, guid)) return &g_records[i];
  }
  return 0;
}
static void forget_records(void) {
  for (int i = 0; i < g_count; ++i) {
    release(g_records[i].guid);
    release(g_records[i].data);
  }
  g_count = 0;
}

/* ---- The 17 callbacks. */
static void QUILLET_CALL on_download_start(const char* type, int adds, int modifies, int deletes) {
  (void)type, (void)modifies, (void)deletes;
  say("  cloud additions found: ", "", adds, 1);
}
static void QUILLET_CALL on_upload_start(const char* type) { say("  upload pass of ", type, 0, 0); }
static void QUILLET_CALL update_struct_data(const char* type, const StructDataItem* added,
                                            int addedCount, const StructDataItem* modified,
                                            int modifiedCount, UpdateResultItem** results,
                                            int* resultCount) {
  (void)type;
  const int total = addedCount + modifiedCount;
  UpdateResultItem* out = total > 0 ? (UpdateResultItem*)allocate(sizeof *out * (size_t)total) : 0;
  if (!out) return;
  int n = 0;
  for (int i = 0; i < total; ++i) {
    const StructDataItem* item = i < addedCount ? &added[i] : &modified[i - addedCount];
    Record* r = find(i < addedCount ? 0 : item->luid, item->guid);
    if (!r) r = add_record(item->data, 0);
    if (!r) continue;
    release(r->guid);
    r->guid = copy(item->guid);
    out[n].luid = copy(r->luid);
    out[n].guid = copy(item->guid);
    ++n;
  }
  g_received += n;
  *results = out;
  *resultCount = n;
}
static void QUILLET_CALL free_update_results(UpdateResultItem* results, int count) {
  for (int i = 0; i < count; ++i) {
    release((void*)results[i].luid);
    release((void*)results[i].guid);
  }
  release(results);
}
static void QUILLET_CALL get_new_at(char** token) { *token = copy(g_token); }
static void QUILLET_CALL free_at(char* token) { release(token); }
static void QUILLET_CALL delete_data(const char* type, const char** luids, int count,
                                     char*** results, int* resultCount) {
  (void)type;
  char** out = count > 0 ? (char**)allocate(sizeof *out * (size_t)count) : 0;
  if (!out) return;
  for (int i = 0; i < count; ++i) out[i] = copy(luids[i]);
  *results = out;
  *resultCount = count;
}
static void QUILLET_CALL free_delete_results(char** results, int count) {
  for (int i = 0; i < count; ++i) release(results[i]);
  release(results);
}
static void QUILLET_CALL query_local_ids(const char* type, int mode, LocalIdItem** items,
                                         int* count) {
  (void)type, (void)mode;
  LocalIdItem* out = g_count > 0 ? (LocalIdItem*)allocate(sizeof *out * (size_t)g_count) : 0;
  if (!out) return;
  for (int i = 0; i < g_count; ++i) {
    out[i].luid = copy(g_records[i].luid);
    out[i].state = g_records[i].state;
  }
  *items = out;
  *count = g_count;
}
static void QUILLET_CALL free_local_ids(LocalIdItem* items, int count) {
  for (int i = 0; i < count; ++i) release((void*)items[i].luid);
  release(items);
}
static void QUILLET_CALL data_query_by_id(const char* type, const char** luids, int count,
                                          QueryResultItem** results, int* resultCount) {
  (void)type;
  QueryResultItem* out = count > 0 ? (QueryResultItem*)allocate(sizeof *out * (size_t)count) : 0;
  if (!out) return;
  int n = 0;
  for (int i = 0; i < count; ++i) {
    const Record* r = find(luids[i], 0);
    if (!r) continue;
    out[n].luid = copy(r->luid);
    out[n].data = copy(r->data);
    ++n;
  }
  *results = out;
  *resultCount = n;
}
static void QUILLET_CALL free_query_results(QueryResultItem* results, int count) {
  for (int i = 0; i < count; ++i) {
    release((void*)results[i].luid);
    release((void*)results[i].data);
  }
  release(results);
}
static void QUILLET_CALL update_sync_result(const char* type, const StructDataItem* added,
                                            int addedCount, const StructDataItem* modified,
                                            int modifiedCount, const char** deleted,
                                            int deletedCount, const KeyedTextList* extra,
                                            int extraCount) {
  (void)type, (void)modified, (void)modifiedCount, (void)deleted, (void)deletedCount;
  (void)extra, (void)extraCount;
  for (int i = 0; i < addedCount; ++i) {
    Record* r = find(added[i].luid, 0);
    if (!r || !added[i].guid || !added[i].guid[0]) continue;
    release(r->guid);
    r->guid = copy(added[i].guid);
    r->state = 0;
    ++g_uploaded;
    say("  uploaded, cloud id ", added[i].guid, 0, 0);
  }
}
static void QUILLET_CALL on_data_sync_end(const char* type, int code) {
  (void)type;
  g_passResult = code;
}
static void QUILLET_CALL on_sync_end(void) {}
static void QUILLET_CALL report_event(int kind, const char* id, const char** keys,
                                      const char** values, int count) {
  (void)kind, (void)id, (void)keys, (void)values, (void)count;
}

/* ---- Rounds. */
static char g_server[512], g_user[128], g_dir[400];

static int round_as(const char* device) {
  static char profile[512], data[600], logs[600];
  profile[0] = data[0] = logs[0] = 0;
  append(profile, sizeof profile, g_dir);
  append(profile, sizeof profile, "\\");
  append(profile, sizeof profile, device);
  append(data, sizeof data, profile);
  append(data, sizeof data, "\\data");
  append(logs, sizeof logs, profile);
  append(logs, sizeof logs, "\\logs");
  CreateDirectoryA(g_dir, 0);
  CreateDirectoryA(profile, 0);

  const CloudSyncInitInfo info = {"browser", g_token, g_user, "msvc-host", data, logs, g_server};
  const SyncCallbacks callbacks = {
      on_download_start, on_upload_start,    update_struct_data, free_update_results,
      get_new_at,        free_at,            delete_data,        free_delete_results,
      query_local_ids,   free_local_ids,     data_query_by_id,   free_query_results,
      0,                 update_sync_result, on_data_sync_end,   on_sync_end,
      report_event};
  say("round as ", device, 0, 0);
  InitCloudSync(&info, &callbacks);
  const int code = SyncDataNoReason("browser", "bookmark", 1, 10);
  const char* none[1] = {0};
  EndSync("browser", none, 0, none, 0);
  UninitCloudSync();
  say("  result ", "", code, 1);
  if (code != QUILLET_OK) say("  class ", "", ParseException(code), 1);
  return code;
}

static const char* const kContents[2] = {
    "{\"title\":\"MSVC host\",\"url\":\"https://msvc.example/\"}",
    "{\"title\":\"Caf\xC3\xA9 \xE2\x98\x95\",\"url\":\"https://cafe.example/\"}"};

static int setting(const char* name, char* out, DWORD size) {
  const DWORD n = GetEnvironmentVariableA(name, out, size);
  if (n == 0 || n >= size) {
    say("missing setting ", name, 0, 0);
    return 0;
  }
  return 1;
}

void HostEntry(void) {
  if (!setting("QUILLET_HOST_SERVER", g_server, sizeof g_server) ||
      !setting("QUILLET_HOST_USER", g_user, sizeof g_user) ||
      !setting("QUILLET_HOST_DIR", g_dir, sizeof g_dir)) {
    ExitProcess(2);
  }
  add_record(kContents[0], 1);
  add_record(kContents[1], 1);
  const int first = round_as("msvc-laptop");
  const int uploadedAll = g_uploaded == 2;
  say("uploaded records: ", "", g_uploaded, 1);

  forget_records();
  const int second = round_as("msvc-desktop");
  int arrived = 0;
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < g_count; ++j) {
      if (same(g_records[j].data, kContents[i]) && g_records[j].guid) {
        ++arrived;
        break;
      }
    }
  }
  say("received records: ", "", g_received, 1);
  say("received with unchanged contents: ", "", arrived, 1);
  const int ok = first == QUILLET_OK && second == QUILLET_OK && g_passResult == QUILLET_OK &&
                 uploadedAll && g_received == 2 && arrived == 2;
  say(ok ? "msvc host: both rounds done" : "msvc host: FAILED", "", 0, 0);
  forget_records();
  ExitProcess(ok ? 0 : 1);
}
