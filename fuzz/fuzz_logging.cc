#include "fuzz/fuzz_logging.h"

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz/fuzz_fail.h"
#include "sync/log/logger.h"

namespace quillet {
namespace fuzz {
namespace {

std::string& LogDirectory() {
  static std::string directory;
  return directory;
}

void RemoveLogDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(LogDirectory(), ignored);
}

}  // namespace

void InitFuzzLogging() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "quillet-fuzz-logs-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) FuzzFail("cannot create a log directory");
  LogDirectory() = pattern;
  atexit(RemoveLogDirectory);
  if (!InitLogger(Utf8ToWide(pattern))) FuzzFail("no log4cpp.nt.property beside the fuzzer");
}

}  // namespace fuzz
}  // namespace quillet
