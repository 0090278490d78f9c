#include "fuzz/answer_script.h"

#include <cstring>

namespace quillet {
namespace fuzz {

const char kAnswerSeparator[] = "\n~~~\n";

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads at most maxDigits digits after blanks; 0 when there are none.
long ReadNumber(const std::string& text, size_t* at, size_t maxDigits) {
  while (*at < text.size() && text[*at] == ' ') ++*at;
  long value = 0;
  for (size_t digits = 0; digits < maxDigits && *at < text.size() && IsDigit(text[*at]);
       ++digits, ++*at) {
    value = value * 10 + (text[*at] - '0');
  }
  return value;
}

FakeAnswer ParseAnswer(const std::string& text) {
  FakeAnswer answer;
  const size_t blank = text.find("\n\n");
  const std::string head = text.substr(0, blank);
  if (blank != std::string::npos) answer.body = text.substr(blank + 2);

  const size_t firstEnd = head.find('\n');
  const std::string first = head.substr(0, firstEnd);
  size_t at = 0;
  answer.status = ReadNumber(first, &at, 3);
  answer.code = static_cast<CURLcode>(ReadNumber(first, &at, 6) % CURL_LAST);

  for (size_t start = firstEnd; start != std::string::npos && start < head.size();) {
    ++start;  // past the "\n" that ended the previous line
    const size_t end = head.find('\n', start);
    const std::string line = head.substr(start, end == std::string::npos ? end : end - start);
    answer.headerLines.push_back(line + "\n");
    start = end;
  }
  return answer;
}

}  // namespace

std::vector<FakeAnswer> ParseAnswers(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t separatorLength = std::strlen(kAnswerSeparator);
  std::vector<FakeAnswer> answers;
  size_t start = 0;
  while (answers.size() < kMaxAnswers) {
    const size_t end = input.find(kAnswerSeparator, start);
    answers.push_back(
        ParseAnswer(input.substr(start, end == std::string::npos ? end : end - start)));
    if (end == std::string::npos) break;
    start = end + separatorLength;
  }
  return answers;
}

std::string FormatAnswer(const FakeAnswer& answer) {
  std::string text = std::to_string(answer.status);
  if (answer.code != CURLE_OK) text += " " + std::to_string(static_cast<int>(answer.code));
  for (const std::string& line : answer.headerLines) {
    text += "\n";
    text += line.substr(0, line.size() - (!line.empty() && line.back() == '\n'));
  }
  return text + "\n\n" + answer.body;
}

}  // namespace fuzz
}  // namespace quillet
