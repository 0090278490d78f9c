// How a fuzz target reports a broken property: a message, then abort, so that libFuzzer
// keeps the input as a crash.
#ifndef QUILLET_FUZZ_FUZZ_FAIL_H_
#define QUILLET_FUZZ_FUZZ_FAIL_H_

namespace quillet {
namespace fuzz {

[[noreturn]] void FuzzFail(const char* what);

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_FUZZ_FAIL_H_
