#include "sync/store/delivery_journal.h"

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>

#include "sync/log/logger.h"
#include "sync/log/md5.h"
#include "sync/platform/platform.h"
#include "sync/store/write_failure.h"

namespace quillet {

DeliveryJournal::~DeliveryJournal() { Close(); }

void DeliveryJournal::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  holdsBytes_ = false;
}

bool DeliveryJournal::Replace(const std::string& text, bool durable) {
  bool created = false;
  errno = 0;
  if (file_ == nullptr) {
    file_ = platform::OpenOwnFile(path_, platform::OwnFileAccess::kReplace);
    holdsBytes_ = false;
    if (file_ == nullptr) {
      NoteWriteFailure(CauseOfErrno(errno));
      return false;
    }
    created = true;
  }
  bool ok = !holdsBytes_ || platform::TruncateFile(file_, 0);
  ok = ok && std::fseek(file_, 0, SEEK_SET) == 0;
  ok = ok && std::fwrite(text.data(), 1, text.size(), file_) == text.size();
  ok = ok && (durable ? platform::SyncFile(file_) : std::fflush(file_) == 0);
  // A new file's name is an entry of its folder, which a power cut may lose as well.
  if (ok && durable && created) ok = platform::SyncDirectory(directory_);
  holdsBytes_ = true;  // whatever got through
  if (!ok) {
    NoteWriteFailure(CauseOfErrno(errno));  // before Close, which may change errno
    Close();  // the next Record starts over with a fresh file
  }
  return ok;
}

DeliveryJournal::DeliveryJournal(const WString& storePath, const WString& dataType) {
  const size_t cut = storePath.find_last_of(platform::kPathSeparator);
  const std::string digest = Md5Hex(platform::WideToAnsi(dataType));
  if (cut == WString::npos || digest.empty()) return;
  directory_ = WideToUtf8(storePath.substr(0, cut));
  path_ = WideToUtf8(storePath.substr(0, cut + 1)) + "Quillet.delivery." + digest;
}

namespace {

// Bytes that JSON needs escaped inside a string: control characters, quote and backslash.
struct EscapeTable {
  bool escaped[256] = {};
  EscapeTable() {
    for (int c = 0; c < 0x20; ++c) escaped[c] = true;
    escaped[static_cast<unsigned char>('"')] = true;
    escaped[static_cast<unsigned char>('\\')] = true;
  }
};

// text as a JSON string: quote, backslash and control characters escaped. utf8 is scratch
// space, reused from string to string.
void AppendJsonString(const WString& text, std::string* utf8, std::string* out) {
  static const EscapeTable kTable;
  static const char kHex[] = "0123456789abcdef";
  utf8->clear();
  AppendWideAsUtf8(text.data(), text.size(), utf8);
  out->push_back('"');
  size_t plain = 0;  // start of the run that needs no escape, appended in one piece
  for (size_t i = 0; i < utf8->size(); ++i) {
    const unsigned char u = static_cast<unsigned char>((*utf8)[i]);
    if (!kTable.escaped[u]) continue;
    out->append(*utf8, plain, i - plain);
    plain = i + 1;
    if (u == '"' || u == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(u));
    } else {
      out->append("\\u00");
      out->push_back(kHex[u >> 4]);
      out->push_back(kHex[u & 0xF]);
    }
  }
  out->append(*utf8, plain, std::string::npos);
  out->push_back('"');
}

}  // namespace

bool DeliveryJournal::Record(const StructList& carried, const StructList& added) {
  if (path_.empty()) return false;
  // One JSON object per line, so that a line torn by a crash spoils only itself.
  std::string text;
  size_t size = 0;
  for (const StructList* list : {&carried, &added}) {
    for (const StructRecord& record : *list) size += record.guid.size() + record.data.size() + 24;
  }
  text.reserve(size);  // ASCII without escapes fits; anything else may still grow it
  std::string scratch;
  for (const StructList* list : {&carried, &added}) {
    for (const StructRecord& record : *list) {
      text += "{\"guid\":";
      AppendJsonString(record.guid, &scratch, &text);
      text += ",\"data\":";
      AppendJsonString(record.data, &scratch, &text);
      text += "}\n";
    }
  }
  // On the disk before the host stores anything: after a power cut the host may hold the
  // delivery, and the journal must still name it.
  const bool written = Replace(text, true);
  empty_ = false;
  gone_ = false;
  if (!written) {
    LogError(u"DeliveryJournal: cannot write ", Utf8ToWide(path_), WriteFailureSuffix());
    return false;
  }
  return true;
}

StructList DeliveryJournal::Read() const {
  StructList records;
  if (path_.empty()) return records;
  std::FILE* file = platform::OpenOwnFile(path_, platform::OwnFileAccess::kRead);
  if (file == nullptr) return records;
  std::string contents;
  char chunk[16384];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) contents.append(chunk, got);
  std::fclose(file);
  std::istringstream in(contents);
  Json::CharReaderBuilder builder;
  builder["strictRoot"] = true;
  builder["rejectDupKeys"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string line;
  while (std::getline(in, line)) {
    Json::Value entry;
    std::string errors;
    try {
      if (!reader->parse(line.data(), line.data() + line.size(), &entry, &errors)) continue;
    } catch (const std::exception&) {
      continue;  // nested too deep: not a line this journal wrote
    }
    if (!entry.isObject()) continue;
    const Json::Value& guid = entry["guid"];
    const Json::Value& data = entry["data"];
    if (!guid.isString() || guid.asString().empty()) continue;
    StructRecord record;
    record.guid = Utf8ToWide(guid.asString());
    if (data.isString()) record.data = Utf8ToWide(data.asString());
    records.push_back(std::move(record));
  }
  return records;
}

bool DeliveryJournal::Empty() {
  if (path_.empty()) return false;
  if (empty_) return true;
  // Not synced: a journal that comes back after a power cut only hands its records over
  // once more, which the host takes as a delivery it already holds.
  const bool emptied =
      file_ != nullptr ? platform::TruncateFile(file_, 0) : Replace(std::string(), false);
  if (!emptied) {
    LogError(u"DeliveryJournal: cannot empty ", Utf8ToWide(path_));
    return false;
  }
  holdsBytes_ = false;
  empty_ = true;
  return true;
}

bool DeliveryJournal::Clear() {
  if (path_.empty()) return false;
  if (gone_) return true;
  Close();
  if (std::remove(path_.c_str()) != 0 && platform::PathExists(path_)) {
    LogError(u"DeliveryJournal: cannot remove ", Utf8ToWide(path_));
    return false;
  }
  empty_ = true;
  gone_ = true;
  return true;
}

}  // namespace quillet
