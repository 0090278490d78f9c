// main() of the test programs built for Windows. The results are written and flushed, then
// the process ends without running static destructors: under Wine, a destructor's
// pthread_key_delete (winpthreads) can wait forever on a key lock once timer-queue worker
// threads have run the library's code, and the run would hang after its last test. Hosts
// are not affected: the sample host loads, unloads and exits normally in the Wine rounds.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  fflush(stdout);
  fflush(stderr);
  _exit(result);
}
