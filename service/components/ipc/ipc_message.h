// Records of the message channel between the service and the account component. Plain
// fixed-width fields, so they cross a pipe as they are and compile on every platform.
#pragma once

#include <cstdint>
#include <string>

namespace orvex {

struct TagIPCMessageItem {
  uint32_t msgClass = 0;     // message family
  uint32_t destination = 0;  // endpoint the message is for
  uint32_t command = 0;
  uint32_t param = 0;
  int32_t sequence = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  uint64_t data = 0;  // pointer-sized payload slot; only its value travels
  bool needReply = false;
};

struct TagIPCMessageItemRecv {
  uint8_t token[16] = {};
  int32_t status = 0;
  int32_t code = 0;
  std::string text;
};

// The account component's endpoint and the command that tells it to log out.
constexpr uint32_t kAccountServiceEndpoint = 0x700000;
constexpr uint32_t kAccountMessageClass = 0x80000;
constexpr uint32_t kLogoutCommand = 0x80018;

}  // namespace orvex
