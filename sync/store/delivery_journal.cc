#include "sync/store/delivery_journal.h"

#include <json/json.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "sync/log/logger.h"
#include "sync/log/md5.h"
#include "sync/platform/platform.h"

namespace quillet {

DeliveryJournal::~DeliveryJournal() { Close(); }

void DeliveryJournal::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  holdsBytes_ = false;
}

bool DeliveryJournal::Replace(const std::string& text) {
  if (file_ == nullptr) {
    file_ = std::fopen(path_.c_str(), "wb");
    holdsBytes_ = false;
    if (file_ == nullptr) return false;
  }
  bool ok = !holdsBytes_ || platform::TruncateFile(file_, 0);
  ok = ok && std::fseek(file_, 0, SEEK_SET) == 0;
  ok = ok && std::fwrite(text.data(), 1, text.size(), file_) == text.size();
  ok = ok && std::fflush(file_) == 0;
  holdsBytes_ = true;  // whatever got through
  if (!ok) Close();  // the next Record starts over with a fresh file
  return ok;
}

DeliveryJournal::DeliveryJournal(const WString& storePath, const WString& dataType) {
  const size_t cut = storePath.find_last_of(platform::kPathSeparator);
  const std::string digest = Md5Hex(platform::WideToAnsi(dataType));
  if (cut == WString::npos || digest.empty()) return;
  path_ = platform::WideToAnsi(storePath.substr(0, cut + 1)) + "Quillet.delivery." + digest;
}

namespace {

// text as a JSON string: quote, backslash and control characters escaped. Written straight
// into out; only a text that needs escapes is moved aside and rewritten.
void AppendJsonString(const WString& text, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  const size_t start = out->size();
  AppendWideAsUtf8(text.data(), text.size(), out);
  const auto needsEscape = [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == '"' || u == '\\';
  };
  size_t first = start;
  while (first < out->size() && !needsEscape((*out)[first])) ++first;
  if (first < out->size()) {
    const std::string rest = out->substr(first);
    out->resize(first);
    size_t plain = 0;  // start of the run that needs no escape, appended in one piece
    for (size_t i = 0; i < rest.size(); ++i) {
      const char c = rest[i];
      if (!needsEscape(c)) continue;
      out->append(rest, plain, i - plain);
      plain = i + 1;
      if (c == '"' || c == '\\') {
        out->push_back('\\');
        out->push_back(c);
      } else {
        const unsigned char u = static_cast<unsigned char>(c);
        out->append("\\u00");
        out->push_back(kHex[u >> 4]);
        out->push_back(kHex[u & 0xF]);
      }
    }
    out->append(rest, plain, std::string::npos);
  }
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
  for (const StructList* list : {&carried, &added}) {
    for (const StructRecord& record : *list) {
      text += "{\"guid\":";
      AppendJsonString(record.guid, &text);
      text += ",\"data\":";
      AppendJsonString(record.data, &text);
      text += "}\n";
    }
  }
  const bool written = Replace(text);
  empty_ = false;
  gone_ = false;
  if (!written) {
    LogError(u"DeliveryJournal: cannot write ", platform::AnsiToWide(path_));
    return false;
  }
  return true;
}

StructList DeliveryJournal::Read() const {
  StructList records;
  if (path_.empty()) return records;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return records;
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
  const bool emptied = file_ != nullptr ? platform::TruncateFile(file_, 0) : Replace(std::string());
  if (!emptied) {
    LogError(u"DeliveryJournal: cannot empty ", platform::AnsiToWide(path_));
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
    LogError(u"DeliveryJournal: cannot remove ", platform::AnsiToWide(path_));
    return false;
  }
  empty_ = true;
  gone_ = true;
  return true;
}

}  // namespace quillet
