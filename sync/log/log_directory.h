#ifndef QUILLET_SYNC_LOG_LOG_DIRECTORY_H_
#define QUILLET_SYNC_LOG_LOG_DIRECTORY_H_

#include <string>

namespace quillet {

// Creates an absolute directory (UTF-8 path) level by level, each missing prefix in turn.
// A relative path fails. The first level that cannot be created fails the whole call;
// levels made before it stay.
bool CreateLogDirectory(const std::string& path);

}  // namespace quillet

#endif  // QUILLET_SYNC_LOG_LOG_DIRECTORY_H_
