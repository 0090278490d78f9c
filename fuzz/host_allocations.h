// The memory a fuzzed host hands to the library: every block of one answer (the array, its
// texts, its nested lists) is kept under the answer's array, which the library must give
// back to the matching Free callback exactly once, with the count the host answered.
#ifndef QUILLET_FUZZ_HOST_ALLOCATIONS_H_
#define QUILLET_FUZZ_HOST_ALLOCATIONS_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace quillet {
namespace fuzz {

class HostAllocations {
 public:
  HostAllocations() = default;
  HostAllocations(const HostAllocations&) = delete;
  HostAllocations& operator=(const HostAllocations&) = delete;
  ~HostAllocations();

  // A zeroed block (never null, also for 0 bytes) of the answer being built.
  void* Allocate(size_t bytes);
  // A NUL-terminated copy of text (which may hold NULs of its own) in that answer.
  char* Copy(const std::string& text);
  // Frees what was built since the last answer: arrays the host lent for one call.
  void Drop();
  // Closes the answer being built under its array; a null array keeps nothing.
  void Answer(const void* array, int count, const char* kind);
  // What a Free callback was given: fails unless it is an answered array of this kind and
  // count that was not given back yet.
  void Release(const void* array, int count, const char* kind);
  // Fails when an answered array was never given back.
  void CheckAllReleased() const;

 private:
  struct Bundle {
    int count = 0;
    std::string kind;
    std::vector<void*> blocks;
  };
  std::vector<void*> building_;
  std::map<const void*, Bundle> answered_;
};

}  // namespace fuzz
}  // namespace quillet

#endif  // QUILLET_FUZZ_HOST_ALLOCATIONS_H_
