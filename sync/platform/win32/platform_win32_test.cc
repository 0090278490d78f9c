// The Windows platform layer against the real system calls (run under Wine in the tests).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "sync/platform/platform.h"
#include "sync/platform/system_info.h"
#include "sync/platform/timer_queue.h"
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
