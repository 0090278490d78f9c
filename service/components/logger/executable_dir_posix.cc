#include <unistd.h>

#include <string>

#include "service/components/logger/process_logger.h"

namespace orvex {

log4cplus::tstring ExecutableDirectory() {
  std::string path(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return log4cplus::tstring();
  path.resize(static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return log4cplus::tstring();
  return LOG4CPLUS_STRING_TO_TSTRING(path.substr(0, slash + 1));
}

}  // namespace orvex
