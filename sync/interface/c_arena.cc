#include "sync/interface/c_arena.h"

#include "sync/interface/sync_process_adapter_c.h"

namespace quillet {

template <typename T>
T* CArena::Array(size_t count) {
  std::shared_ptr<T> array(new T[count](), std::default_delete<T[]>());
  arrays_.push_back(array);
  return array.get();
}

const char* CArena::Text(const WString& text) {
  // Texts are packed into large blocks: a record's seven texts cost no allocation each.
  const size_t most = text.size() * kMaxUtf8PerUnit + 1;
  if (most > room_) {
    const size_t size = most > kBlockBytes ? most : kBlockBytes;
    buffers_.emplace_back(new char[size]);
    cursor_ = buffers_.back().get();
    room_ = size;
  }
  char* const out = cursor_;
  const size_t used = WriteWideAsUtf8(text.data(), text.size(), out);
  out[used] = '\0';
  cursor_ += used + 1;
  room_ -= used + 1;
  return out;
}

const char** CArena::Texts(const TextList& texts) {
  if (texts.empty()) return nullptr;
  const char** out = Array<const char*>(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) out[i] = Text(texts[i]);
  return out;
}

FileItem* CArena::Files(const FileList& files) {
  if (files.empty()) return nullptr;
  FileItem* out = Array<FileItem>(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    out[i].itemA = Text(files[i].itemA);
    out[i].itemB = Text(files[i].itemB);
    out[i].itemC = Text(files[i].itemC);
    out[i].itemD = Text(files[i].itemD);
  }
  return out;
}

StructDataItem* CArena::Structs(const StructList& records) {
  if (records.empty()) return nullptr;
  StructDataItem* out = Array<StructDataItem>(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const StructRecord& r = records[i];
    StructDataItem& c = out[i];
    c.luid = Text(r.luid);
    c.textA = Text(r.textA);
    c.guid = Text(r.guid);
    c.etag = Text(r.etag);
    c.numberA = r.numberA;
    c.textC = Text(r.textC);
    c.textD = Text(r.textD);
    c.data = Text(r.data);
    c.numberB = r.numberB;
    c.numberC = r.numberC;
    c.filesA = Files(r.filesA);
    c.filesACount = static_cast<int>(r.filesA.size());
    c.filesB = Files(r.filesB);
    c.filesBCount = static_cast<int>(r.filesB.size());
    c.filesC = Files(r.filesC);
    c.filesCCount = static_cast<int>(r.filesC.size());
  }
  return out;
}

KeyedTextList* CArena::Keyed(const KeyedTextMap& map) {
  if (map.empty()) return nullptr;
  KeyedTextList* out = Array<KeyedTextList>(map.size());
  size_t i = 0;
  for (const auto& entry : map) {
    out[i].key = Text(entry.first);
    out[i].values = Texts(entry.second);
    out[i].valueCount = static_cast<int>(entry.second.size());
    ++i;
  }
  return out;
}

FileList ReadFiles(const FileItem* files, int count) {
  FileList out;
  if (!files || count <= 0) return out;
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    out.push_back({Utf8ToWide(files[i].itemA), Utf8ToWide(files[i].itemB),
                   Utf8ToWide(files[i].itemC), Utf8ToWide(files[i].itemD)});
  }
  return out;
}

}  // namespace quillet
