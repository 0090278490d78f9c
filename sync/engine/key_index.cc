#include "sync/engine/key_index.h"

#include <functional>

namespace quillet {
namespace {

constexpr size_t kSmallest = 16;

// Room for `keys` at most three quarters full, as a power of two.
size_t SlotsFor(size_t keys) {
  size_t slots = kSmallest;
  while (slots / 4 * 3 < keys) slots *= 2;
  return slots;
}

}  // namespace

KeyIndex::KeyIndex(size_t expected) : slots_(SlotsFor(expected)) {}

uint64_t KeyIndex::Hash(std::u16string_view key) {
  // Spread once more so that the high bits, taken as the tag, vary where size_t is narrow.
  return static_cast<uint64_t>(std::hash<std::u16string_view>()(key)) * 0x9E3779B97F4A7C15ull;
}

size_t KeyIndex::Probe(std::u16string_view key, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = TagOf(hash);
  // The multiplied hash carries its best bits high; the slot takes them from there too.
  size_t at = static_cast<size_t>(hash >> 20) & mask;
  while (slots_[at].position != kNone &&
         (slots_[at].tag != tag || slots_[at].key != key)) {
    at = (at + 1) & mask;
  }
  return at;
}

uint32_t KeyIndex::Find(std::u16string_view key) const {
  return slots_[Probe(key, Hash(key))].position;
}

uint32_t KeyIndex::Insert(std::u16string_view key, uint32_t position) {
  const uint64_t hash = Hash(key);
  size_t at = Probe(key, hash);
  if (slots_[at].position != kNone) return slots_[at].position;
  if (size_ + 1 > slots_.size() / 4 * 3) {
    Grow();
    at = Probe(key, hash);
  }
  slots_[at] = Slot{key, TagOf(hash), position};
  ++size_;
  return position;
}

void KeyIndex::Grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  for (const Slot& slot : old) {
    if (slot.position == kNone) continue;
    slots_[Probe(slot.key, Hash(slot.key))] = slot;
  }
}

}  // namespace quillet
