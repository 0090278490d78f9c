// Owns the C copies made for one callback: every text buffer and array allocated while
// building the arguments is freed when the arena goes, after the host's entry returned.
#ifndef QUILLET_SYNC_INTERFACE_C_ARENA_H_
#define QUILLET_SYNC_INTERFACE_C_ARENA_H_

#include <memory>
#include <vector>

#include "quillet.h"
#include "sync/common/records.h"

namespace quillet {

class CArena {
 public:
  CArena() = default;
  CArena(const CArena&) = delete;
  CArena& operator=(const CArena&) = delete;

  // A NUL-terminated UTF-8 copy of text, valid while the arena lives.
  const char* Text(const WString& text);

  // Arrays for a list: null when the list is empty (the count is then 0).
  const char** Texts(const TextList& texts);
  FileItem* Files(const FileList& files);
  StructDataItem* Structs(const StructList& records);
  KeyedTextList* Keyed(const KeyedTextMap& map);

 private:
  template <typename T>
  T* Array(size_t count);

  // Below glibc's 64 KiB, where freeing a block would consolidate the whole heap.
  static constexpr size_t kBlockBytes = 16 * 1024;
  std::vector<std::unique_ptr<char[]>> buffers_;  // blocks of NUL-terminated texts
  char* cursor_ = nullptr;                        // free space of the last block
  size_t room_ = 0;
  std::vector<std::shared_ptr<void>> arrays_;
};

// Conversions of host answers; null texts become empty, counts <= 0 give empty lists.
FileList ReadFiles(const FileItem* files, int count);

}  // namespace quillet

#endif  // QUILLET_SYNC_INTERFACE_C_ARENA_H_
