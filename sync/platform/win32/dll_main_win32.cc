// Entry point of Quillet.dll. OpenSSL, linked in statically, would otherwise register its
// clean-up with the C runtime's process-wide exit list; a host that unloads the DLL before
// it exits would then run code that is no longer mapped. Initialising OpenSSL here without
// that registration keeps unloading safe (its few allocations are left to the process).
#include <windows.h>

#include <openssl/crypto.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Only the base initialisation: no library is loaded and no thread started here.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 0) return FALSE;
  }
  return TRUE;
}
