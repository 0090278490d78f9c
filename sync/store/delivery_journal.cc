#include "sync/store/delivery_journal.h"

#include <json/json.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "sync/log/logger.h"
#include "sync/log/md5.h"
#include "sync/platform/platform.h"

namespace quillet {

DeliveryJournal::DeliveryJournal(const WString& storePath, const WString& dataType) {
  const size_t cut = storePath.find_last_of(platform::kPathSeparator);
  const std::string digest = Md5Hex(platform::WideToAnsi(dataType));
  if (cut == WString::npos || digest.empty()) return;
  path_ = platform::WideToAnsi(storePath.substr(0, cut + 1)) + "Quillet.delivery." + digest;
}

bool DeliveryJournal::Record(const StructList& carried, const StructList& added) {
  if (path_.empty()) return false;
  // One JSON object per line, so that a line torn by a crash spoils only itself.
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  std::string text;
  for (const StructList* list : {&carried, &added}) {
    for (const StructRecord& record : *list) {
      Json::Value entry(Json::objectValue);
      entry["guid"] = WideToUtf8(record.guid);
      entry["data"] = WideToUtf8(record.data);
      text += Json::writeString(builder, entry);
      text += '\n';
    }
  }
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  empty_ = false;
  if (!out) {
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

bool DeliveryJournal::Clear() {
  if (path_.empty()) return false;
  if (empty_) return true;
  if (std::remove(path_.c_str()) != 0 && platform::PathExists(path_)) {
    LogError(u"DeliveryJournal: cannot remove ", platform::AnsiToWide(path_));
    return false;
  }
  empty_ = true;
  return true;
}

}  // namespace quillet
