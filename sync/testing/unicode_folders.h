// Folders named as real hosts name them: characters outside every single-byte code page
// (U+8336, U+2615), one past the BMP (U+1F600), one that code page 1252 holds (U+00E9),
// forward slashes between levels, and deep enough to pass Windows' MAX_PATH.
#ifndef QUILLET_SYNC_TESTING_UNICODE_FOLDERS_H_
#define QUILLET_SYNC_TESTING_UNICODE_FOLDERS_H_

#include <string>

namespace quillet {
namespace testing {

// Creates the levels below base (which exists) through the library's platform layer and
// returns the folder's UTF-8 path, at least minLength bytes long; empty when a level
// cannot be made.
std::string MakeUnicodeFolder(const std::string& base, size_t minLength = 300);

}  // namespace testing
}  // namespace quillet

#endif  // QUILLET_SYNC_TESTING_UNICODE_FOLDERS_H_
