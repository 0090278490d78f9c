#include "fuzz/fuzz_fail.h"

#include <stdio.h>
#include <stdlib.h>

namespace quillet {
namespace fuzz {

void FuzzFail(const char* what) {
  fprintf(stderr, "==fuzz check failed: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace fuzz
}  // namespace quillet
