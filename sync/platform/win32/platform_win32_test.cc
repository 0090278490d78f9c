// The Windows platform layer against the real system calls (run under Wine in the tests).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sync/platform/platform.h"
#include "sync/platform/system_info.h"
#include "sync/platform/timer_queue.h"
#include "sync/platform/win32/wide_path.h"
#include "sync/testing/temp_dir.h"

namespace quillet {
namespace platform {
namespace {

TEST(Win32PlatformTest, PathsUseBackslashesAndDrivesOrUncPrefixes) {
  EXPECT_EQ(kPathSeparator, u'\\');
  EXPECT_TRUE(IsAbsolutePath("C:\\Users\\x"));
  EXPECT_TRUE(IsAbsolutePath("\\\\server\\share"));
  EXPECT_FALSE(IsAbsolutePath("C:relative"));
  EXPECT_FALSE(IsAbsolutePath("relative\\dir"));
  EXPECT_FALSE(IsAbsolutePath("\\rooted-without-drive"));
  EXPECT_FALSE(IsAbsolutePath(""));
  // A host's forward slashes are separators as well.
  EXPECT_TRUE(IsAbsolutePath("C:/Users/x"));
  EXPECT_TRUE(IsAbsolutePath("//server/share"));
}

// Folders named outside code page 1252 (U+8336, U+2615), past the BMP (U+1F600), reached
// with forward slashes and, deeper down, past MAX_PATH: every file call of the layer
// reaches the one file the wide calls name, and the C run time's narrow name does too.
TEST(Win32PlatformTest, AnyCharacterAndLongPathsReachTheFilesTheWideCallsName) {
  testing::TempDir dir;
  const std::string top = dir / "\xE8\x8C\xB6 \xE2\x98\x95 \xF0\x9F\x98\x80";
  std::vector<std::string> folders = {top};
  ASSERT_TRUE(MakeDirectory(top, nullptr));
  EXPECT_NE(GetFileAttributesW(ToWin(Utf8ToWide(top)).c_str()), INVALID_FILE_ATTRIBUTES);
  std::string deep = top;
  while (deep.size() < 320) {
    deep += "/a folder with a rather long name";
    ASSERT_TRUE(MakeDirectory(deep, nullptr)) << deep.size();
    ASSERT_TRUE(DirectoryExists(deep)) << deep.size();
    folders.push_back(deep);
  }
  const std::string file = deep + "/Quillet.dat";
  std::FILE* out = OpenOwnFile(file, OwnFileAccess::kReplace);
  ASSERT_NE(out, nullptr);
  std::fputs("bytes", out);
  std::fclose(out);
  const std::string backslashed = deep + "\\Quillet.dat";
  std::string read;
  ASSERT_TRUE(ReadWholeFile(backslashed, 64, &read));
  EXPECT_EQ(read, "bytes");
  EXPECT_FALSE(ReadWholeFile(backslashed, 4, &read));  // larger than the limit
  EXPECT_EQ(CheckOwnFile(backslashed), Trust::kOwn);
  EXPECT_TRUE(SetHidden(backslashed));

  const std::string narrow = CRuntimePath(file);
  ASSERT_FALSE(narrow.empty());
  EXPECT_LT(narrow.size(), static_cast<size_t>(MAX_PATH));
  std::FILE* in = std::fopen(narrow.c_str(), "rb");
  ASSERT_NE(in, nullptr) << narrow;
  char bytes[8] = {0};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, in), 5u);
  std::fclose(in);
  EXPECT_EQ(std::string(bytes), "bytes");
  // A name the code page holds is its ANSI form.
  EXPECT_EQ(CRuntimePath(dir / "plain.txt"), dir / "plain.txt");

  const int fd = OpenDescriptor(file + ".log", _O_CREAT | _O_WRONLY | _O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(_write(fd, "x\n", 2), 2);
  _close(fd);
  ASSERT_TRUE(RenameFile(file + ".log", file + ".log.1"));
  EXPECT_FALSE(PathExists(file + ".log"));
  EXPECT_TRUE(RemoveFile(file + ".log.1"));
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(PathExists(file));
  // The deep levels are beyond what the temporary folder's clean-up reaches by name.
  for (auto level = folders.rbegin(); level != folders.rend(); ++level) {
    EXPECT_TRUE(RemoveDirectoryW(WideSystemPath(*level).c_str())) << level->size();
  }
}

TEST(Win32PlatformTest, ExecutablePathIsThisProgramsFullWindowsPath) {
  const std::string path = WideToAnsi(ExecutablePath());
  ASSERT_GE(path.size(), 3u);
  EXPECT_TRUE(IsAbsolutePath(path)) << path;
  EXPECT_NE(path.find("quillet_tests.exe"), std::string::npos) << path;
  EXPECT_EQ(path.find('/'), std::string::npos) << path;
}

TEST(Win32PlatformTest, AnsiConversionsFollowTheSystemCodePage) {
  // ASCII is the same in every ANSI code page; the rest round-trips through CP_ACP.
  EXPECT_EQ(WideToAnsi(u"user-1"), "user-1");
  EXPECT_EQ(AnsiToWide("user-1"), u"user-1");
  wchar_t expected[8] = {0};
  const char e_acute_in_acp[] = "\xE9";  // é in 1252; whatever it is here, both ways agree
  MultiByteToWideChar(CP_ACP, 0, e_acute_in_acp, 1, expected, 8);
  const WString wide = AnsiToWide(e_acute_in_acp);
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_EQ(static_cast<wchar_t>(wide[0]), expected[0]);
  EXPECT_EQ(WideToAnsi(wide), e_acute_in_acp);
  EXPECT_EQ(WideToAnsi(WString()), "");
}

TEST(Win32PlatformTest, DirectoriesAreMadeOneLevelAndCanBeHidden) {
  testing::TempDir dir;
  const std::string store = dir / "Quillet";
  EXPECT_FALSE(DirectoryExists(store));
  bool denied = true;
  ASSERT_TRUE(MakeDirectory(store, &denied));
  EXPECT_FALSE(denied);
  EXPECT_TRUE(DirectoryExists(store));
  EXPECT_TRUE(PathExists(store));
  EXPECT_FALSE(MakeDirectory(dir / "missing\\two", &denied));  // one level only
  ASSERT_TRUE(SetHidden(store));
  EXPECT_NE(GetFileAttributesA(store.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_FALSE(SetHidden(dir / "absent"));
  EXPECT_EQ(ProcessId(), GetCurrentProcessId());
}

TEST(Win32PlatformTest, BiosSerialComesThroughWmi) {
  char16_t buffer[kSerialBufferUnits];
  buffer[0] = u'x';
  const int result = GetBiosSerialNumber(buffer);
  // Wine's WMI answers "0"; a real machine its own serial. Either way no blanks remain.
  ASSERT_EQ(result, kSerialOk);
  const WString serial(buffer);
  EXPECT_FALSE(serial.empty());
  EXPECT_EQ(serial.find(u' '), WString::npos);
  EXPECT_EQ(GetBiosSerialNumber(nullptr), kSerialNoSource);
  // Twice in one thread: COM is initialised and released each time.
  EXPECT_EQ(GetBiosSerialNumber(buffer), kSerialOk);
}

TEST(Win32PlatformTest, ManualProxyIsTheUsersInternetSettingsProxy) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                            L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const DWORD enable = 1;
  const wchar_t server[] = L"proxy.example:3128";
  RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                 sizeof enable);
  RegSetValueExW(key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server),
                 sizeof server);
  // WinHTTP reads the settings blob beside them: a header (magic 0x46, counter, flags with
  // PROXY_TYPE_PROXY), then the proxy and the bypass list, each a length and its bytes.
  const std::string proxy = "proxy.example:3128";
  std::string blob;
  auto put = [&blob](DWORD v) { blob.append(reinterpret_cast<const char*>(&v), sizeof v); };
  put(0x46);
  put(0);
  put(0x3);  // PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY
  put(static_cast<DWORD>(proxy.size()));
  blob += proxy;
  put(0);
  blob.append(32, '\0');
  HKEY connections = nullptr;
  ASSERT_EQ(RegCreateKeyExW(key, L"Connections", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &connections, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(connections, L"DefaultConnectionSettings", 0, REG_BINARY,
                 reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()));
  EXPECT_EQ(ManualProxy(), "proxy.example:3128");
  RegDeleteValueW(connections, L"DefaultConnectionSettings");
  RegCloseKey(connections);
  const DWORD disable = 0;
  RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&disable),
                 sizeof disable);
  RegDeleteValueW(key, L"ProxyServer");
  RegCloseKey(key);
  EXPECT_EQ(ManualProxy(), "");
}

TEST(Win32PlatformTest, PreferredUiLanguageIsALanguageTag) {
  const std::string language = WideToAnsi(PreferredUiLanguage());
  ASSERT_GE(language.size(), 2u);
  EXPECT_EQ(language.find('_'), std::string::npos) << language;
}

struct Ticks {
  std::atomic<int> count{0};
  TimerQueue* queue = nullptr;
  QueueTimer* timer = nullptr;
};

TEST(Win32PlatformTest, TimerQueueFiresChangesItsPeriodFromTheTickAndStopsOnDelete) {
  Ticks ticks;
  ticks.queue = CreateTimerQueue();
  ASSERT_NE(ticks.queue, nullptr);
  ticks.timer = CreateQueueTimer(
      ticks.queue,
      [](void* p, bool fired) {
        Ticks* t = static_cast<Ticks*>(p);
        if (!fired) return;
        // The first tick slows the timer down from inside the callback.
        if (t->count.fetch_add(1) == 0) ChangeQueueTimer(t->queue, t->timer, 20, 20);
      },
      &ticks, 10, 1000);
  ASSERT_NE(ticks.timer, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ticks.count < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GE(ticks.count.load(), 3);  // with the 1000 ms period it would still be at 1
  DeleteQueueTimer(ticks.queue, ticks.timer);
  const int after = ticks.count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ticks.count.load(), after);
  DeleteTimerQueue(ticks.queue);
  EXPECT_EQ(CreateQueueTimer(nullptr, [](void*, bool) {}, nullptr, 1, 1), nullptr);
}

}  // namespace
}  // namespace platform
}  // namespace quillet
