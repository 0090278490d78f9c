#ifndef QUILLET_SYNC_LOG_MD5_H_
#define QUILLET_SYNC_LOG_MD5_H_

#include <string>

namespace quillet {

// 32 lower-case hexadecimal digits of the MD5 digest of bytes. Thread-safe.
std::string Md5Hex(const std::string& bytes);

}  // namespace quillet

#endif  // QUILLET_SYNC_LOG_MD5_H_
