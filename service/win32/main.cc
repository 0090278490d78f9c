// Entry of OrvexCoreService.exe (GUI subsystem, no console).
#include <windows.h>

#include "service/qzaccountservice.h"
#include "service/win32/win32_platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  // Never released: the worker thread and the plugin use them until the process ends.
  auto* platform = new orvex::Win32Platform();
  auto* program = new orvex::QzAccountService(*platform);
  return program->wWinMain(reinterpret_cast<const char16_t*>(commandLine));
}
