// Logging for the fuzz targets: configured the way a host's library is, from the property
// file beside the executable (the build puts a silent one beside the fuzzers), with the log
// directory in a temporary folder that goes at exit.
#ifndef QUILLET_FUZZ_FUZZ_LOGGING_H_
#define QUILLET_FUZZ_FUZZ_LOGGING_H_

namespace quillet {
namespace fuzz {

// Once per process; aborts when the configuration cannot be read, since the fuzzers would
// otherwise log wherever log4cpp's defaults send it.
void InitFuzzLogging();

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_FUZZ_LOGGING_H_
