#include "fuzz/host_allocations.h"

#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_fail.h"

namespace quillet {
namespace fuzz {

HostAllocations::~HostAllocations() {
  for (void* block : building_) free(block);
  for (auto& entry : answered_) {
    for (void* block : entry.second.blocks) free(block);
  }
}

void* HostAllocations::Allocate(size_t bytes) {
  void* block = calloc(1, bytes == 0 ? 1 : bytes);
  if (block == nullptr) FuzzFail("out of memory");
  building_.push_back(block);
  return block;
}

char* HostAllocations::Copy(const std::string& text) {
  char* copy = static_cast<char*>(Allocate(text.size() + 1));
  memcpy(copy, text.data(), text.size());
  return copy;
}

void HostAllocations::Drop() {
  for (void* block : building_) free(block);
  building_.clear();
}

void HostAllocations::Answer(const void* array, int count, const char* kind) {
  if (array == nullptr) {
    Drop();
    return;
  }
  Bundle& bundle = answered_[array];
  bundle.count = count;
  bundle.kind = kind;
  bundle.blocks.swap(building_);
  building_.clear();
}

void HostAllocations::Release(const void* array, int count, const char* kind) {
  if (array == nullptr) FuzzFail("a Free callback got a null array");
  const auto it = answered_.find(array);
  if (it == answered_.end()) FuzzFail("an array was freed twice, or was never the host's");
  if (it->second.kind != kind) FuzzFail("an array went to the Free callback of another kind");
  if (it->second.count != count) FuzzFail("an array came back with another count");
  for (void* block : it->second.blocks) free(block);
  answered_.erase(it);
}

void HostAllocations::CheckAllReleased() const {
  if (!answered_.empty()) FuzzFail("a host array was never given back");
}

}  // namespace fuzz
}  // namespace quillet
