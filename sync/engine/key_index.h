// KeyIndex: UTF-16 keys (luids, guids) to positions in a list, for the comparisons of
// change detection.
//
// One flat table with open addressing: a key costs one slot, not a node of its own, so
// indexing and looking up tens of thousands of keys stays within a cache miss or two per
// key. The index holds views only: the texts it was given must outlive it and stay where
// they are. Not thread-safe; one comparison uses it at a time.
#ifndef QUILLET_SYNC_ENGINE_KEY_INDEX_H_
#define QUILLET_SYNC_ENGINE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quillet {

class KeyIndex {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // Sized for about `expected` keys; more still fit, the table then grows.
  explicit KeyIndex(size_t expected = 0);

  // The position stored for key, or kNone.
  uint32_t Find(std::u16string_view key) const;

  // Stores position for key unless the key is already there, and returns the key's
  // position: the new one, or the one stored first. position must not be kNone.
  uint32_t Insert(std::u16string_view key, uint32_t position);

  size_t size() const { return size_; }

 private:
  struct Slot {
    std::u16string_view key;
    uint32_t tag = 0;         // hash bits, compared before the text
    uint32_t position = kNone;  // kNone: the slot is free
  };

  static uint64_t Hash(std::u16string_view key);
  static uint32_t TagOf(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }
  // The slot that holds key, or the free slot where it would go.
  size_t Probe(std::u16string_view key, uint64_t hash) const;
  void Grow();

  std::vector<Slot> slots_;  // a power of two in size, at most three quarters taken
  size_t size_ = 0;
};

}  // namespace quillet

#endif  // QUILLET_SYNC_ENGINE_KEY_INDEX_H_
