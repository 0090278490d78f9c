#include "service/components/ipc/pipe_io.h"

#include <cstdint>

#include "service/components/ipc/ipc_wire.h"

namespace orvex {
namespace pipe {
namespace {

// Runs one overlapped read or write to completion within timeoutMs, cancelling it
// otherwise so that the buffer is no longer in use when we return.
bool Transfer(HANDLE pipe, bool write, char* data, DWORD size, DWORD timeoutMs) {
  DWORD done = 0;
  while (done < size) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    DWORD count = 0;
    BOOL ok = write ? WriteFile(pipe, data + done, size - done, nullptr, &overlapped)
                    : ReadFile(pipe, data + done, size - done, nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIo(pipe);
      }
      ok = GetOverlappedResult(pipe, &overlapped, &count, TRUE);
    } else if (ok) {
      ok = GetOverlappedResult(pipe, &overlapped, &count, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    if (!ok || count == 0) return false;
    done += count;
  }
  return true;
}

}  // namespace

DWORD Remaining(ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

HANDLE CreateServerInstance(bool first) {
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  return CreateNamedPipeW(
      kBrokerPipeName, openMode,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, wire::kMaxFrameBytes, wire::kMaxFrameBytes, 0, nullptr);
}

bool WaitForClient(HANDLE pipe) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return false;
  bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
  if (!connected) {
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      connected = true;
    } else if (error == ERROR_IO_PENDING) {
      DWORD unused = 0;
      connected = GetOverlappedResult(pipe, &overlapped, &unused, TRUE) != FALSE;
    }
  }
  CloseHandle(overlapped.hEvent);
  return connected;
}

HANDLE Connect(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    // Identification only: whoever serves the pipe name (a squatter included) may learn
    // who we are, but cannot act as us.
    HANDLE pipe = CreateFileW(kBrokerPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, kClientOpenFlags, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    if (GetLastError() != ERROR_PIPE_BUSY) return INVALID_HANDLE_VALUE;
    const DWORD left = Remaining(deadline);
    if (left == 0 || !WaitNamedPipeW(kBrokerPipeName, left)) return INVALID_HANDLE_VALUE;
  }
}

bool WriteFrame(HANDLE pipe, const std::string& payload, DWORD timeoutMs) {
  if (payload.size() > wire::kMaxFrameBytes) return false;
  std::string frame;
  const uint32_t size = static_cast<uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8) frame += static_cast<char>((size >> shift) & 0xFF);
  frame += payload;
  return Transfer(pipe, true, &frame[0], static_cast<DWORD>(frame.size()), timeoutMs);
}

bool ReadFrame(HANDLE pipe, std::string* payload, DWORD timeoutMs) {
  const ULONGLONG deadline = timeoutMs == INFINITE ? 0 : GetTickCount64() + timeoutMs;
  unsigned char header[4];
  if (!Transfer(pipe, false, reinterpret_cast<char*>(header), 4, timeoutMs)) return false;
  const uint32_t size =
      header[0] | (header[1] << 8) | (header[2] << 16) | (uint32_t(header[3]) << 24);
  if (size == 0 || size > wire::kMaxFrameBytes) return false;  // refuse, do not allocate
  payload->assign(size, '\0');
  return Transfer(pipe, false, &(*payload)[0], size,
                  timeoutMs == INFINITE ? INFINITE : Remaining(deadline));
}

}  // namespace pipe
}  // namespace orvex
