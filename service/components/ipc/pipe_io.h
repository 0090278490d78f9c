// Length-prefixed frames over overlapped named-pipe handles, every wait bounded.
#pragma once

#include <windows.h>

#include <string>

namespace orvex {
namespace pipe {

// The broker's pipe; local clients only.
constexpr wchar_t kBrokerPipeName[] = L"\\\\.\\pipe\\OrvexCoreMessage.broker";

// How clients open the broker pipe: overlapped, and the server may only identify them.
constexpr DWORD kClientOpenFlags =
    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// A new server instance of the broker pipe; `first` fails when a broker already runs.
HANDLE CreateServerInstance(bool first);
// Waits for a client on `pipe` (no time limit: the broker's accept loop).
bool WaitForClient(HANDLE pipe);
// Opens the broker pipe as a client within timeoutMs. INVALID_HANDLE_VALUE when not
// reachable in time (no broker at all fails at once).
HANDLE Connect(DWORD timeoutMs);

bool WriteFrame(HANDLE pipe, const std::string& payload, DWORD timeoutMs);
// INFINITE waits as long as the peer stays connected.
bool ReadFrame(HANDLE pipe, std::string* payload, DWORD timeoutMs);

// Milliseconds left until deadline (a GetTickCount64 value), 0 when passed.
DWORD Remaining(ULONGLONG deadline);

}  // namespace pipe
}  // namespace orvex
