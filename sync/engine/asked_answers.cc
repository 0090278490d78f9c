#include "sync/engine/asked_answers.h"

#include <unordered_set>

#include "sync/engine/pass_support.h"
#include "sync/log/logger.h"

namespace quillet {
namespace {

template <typename Keys>
std::unordered_set<WString> SetOf(const Keys& keys) {
  std::unordered_set<WString> set;
  set.reserve(keys.size());
  for (const auto& key : keys) set.insert(key);
  return set;
}

std::unordered_set<WString> FirstsOf(const TextPairList& items) {
  std::unordered_set<WString> set;
  set.reserve(items.size());
  for (const auto& item : items) set.insert(item.first);
  return set;
}

void LogEntry(const char16_t* operation, const char16_t* key, const WString& value) {
  LogError(u"[", WString(operation), u"] Answer entry not asked for,ignored,", WString(key),
           u":" + value);
}

// Keeps the entries of a keyed answer whose key was sent; the map holds each key once.
template <typename Map>
long long KeepAsked(Map& answers, const std::unordered_set<WString>& sent,
                    const char16_t* operation, const char16_t* key) {
  long long ignored = 0;
  for (auto it = answers.begin(); it != answers.end();) {
    if (sent.count(it->first) != 0) {
      ++it;
      continue;
    }
    LogEntry(operation, key, it->first);
    ++ignored;
    it = answers.erase(it);
  }
  return ignored;
}

}  // namespace

void AskedAnswersOnly::Ignored(const char16_t* operation, long long count) {
  if (count == 0) return;
  ignored_ += count;
  const WString text = WString(u"The number of answer entries not asked for is ") +
                       ToWide(count) + u",ignored (" + operation + u")";
  LogError(text);
  PassReport(session_).Send(u"local_IgnoredAnswerEntries", u"0", text);
}

int AskedAnswersOnly::DownloadData(const WString& dataType, TextList guids, StructList& records) {
  std::unordered_set<WString> asked = SetOf(guids);
  StructList read;
  const int status = net_.DownloadData(dataType, std::move(guids), read);
  // A guid answered twice is handed over once.
  const size_t ignored = KeepAskedOnce(
      read, asked, [](const StructRecord& record) -> const WString& { return record.guid; },
      [](const StructRecord& record) { LogEntry(u"DownloadData", u"guid", record.guid); });
  records.reserve(records.size() + read.size());
  for (StructRecord& record : read) records.push_back(std::move(record));
  Ignored(u"DownloadData", static_cast<long long>(ignored));
  return status;
}

std::map<WString, AddResult> AskedAnswersOnly::AddData(const WString& dataType, TextPairList items,
                                                       int& status) {
  const std::unordered_set<WString> sent = FirstsOf(items);
  std::map<WString, AddResult> answers = net_.AddData(dataType, std::move(items), status);
  Ignored(u"AddData", KeepAsked(answers, sent, u"AddData", u"luid"));
  return answers;
}

std::map<WString, UpdateResult> AskedAnswersOnly::UpdateData(const WString& dataType,
                                                             TextPairList items, int& status) {
  const std::unordered_set<WString> sent = FirstsOf(items);
  std::map<WString, UpdateResult> answers = net_.UpdateData(dataType, std::move(items), status);
  Ignored(u"UpdateData", KeepAsked(answers, sent, u"UpdateData", u"guid"));
  return answers;
}

std::map<WString, int> AskedAnswersOnly::RemoveData(const WString& dataType, TextList guids,
                                                    int& status) {
  const std::unordered_set<WString> sent = SetOf(guids);
  std::map<WString, int> answers = net_.RemoveData(dataType, std::move(guids), status);
  Ignored(u"RemoveData", KeepAsked(answers, sent, u"RemoveData", u"guid"));
  return answers;
}

}  // namespace quillet
