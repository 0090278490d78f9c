#include "sync/platform/path_form.h"

#include <vector>

namespace quillet {
namespace platform {
namespace {

template <typename Char>
bool IsSeparator(Char c) {
  return c == Char('\\') || c == Char('/');
}

template <typename Char>
bool IsDriveLetter(Char c) {
  return (c >= Char('A') && c <= Char('Z')) || (c >= Char('a') && c <= Char('z'));
}

template <typename Text>
bool StartsWithVerbatim(const Text& path) {
  using Char = typename Text::value_type;
  return path.size() >= 4 && path[0] == Char('\\') && path[1] == Char('\\') &&
         (path[2] == Char('?') || path[2] == Char('.')) && path[3] == Char('\\');
}

// The end of the component that starts at from, and one separator after it if present.
template <typename Text>
size_t PastComponent(const Text& path, size_t from) {
  using Char = typename Text::value_type;
  size_t at = from;
  while (at < path.size() && path[at] != Char('\\')) ++at;
  return at < path.size() ? at + 1 : at;
}

// "server\share\" starting at from.
template <typename Text>
size_t PastShare(const Text& path, size_t from) {
  return PastComponent(path, PastComponent(path, from));
}

template <typename Text>
size_t WindowsRootLength(const Text& path) {
  using Char = typename Text::value_type;
  if (StartsWithVerbatim(path)) {
    static const char kUnc[] = "UNC\\";
    bool unc = path.size() >= 8;
    for (size_t i = 0; unc && i < 4; ++i) {
      Char c = path[4 + i];
      if (c >= Char('a') && c <= Char('z')) c = Char(c - Char('a') + Char('A'));
      unc = c == Char(kUnc[i]);
    }
    if (unc) return PastShare(path, 8);
    // "\\?\C:\", "\\.\PhysicalDrive0\", "\\?\Volume{...}\".
    return PastComponent(path, 4);
  }
  if (path.size() >= 2 && path[0] == Char('\\') && path[1] == Char('\\')) {
    return PastShare(path, 2);
  }
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == Char(':') && path[2] == Char('\\')) {
    return 3;
  }
  if (!path.empty() && path[0] == Char('\\')) return 1;
  return 0;
}

}  // namespace

WString NormalisePath(const WString& path, PathStyle style) {
  if (style == PathStyle::kPosix) return path;
  WString out;
  out.reserve(path.size());
  size_t at = 0;
  // The two separators that begin a UNC or device path are one token, not a run.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    out += u"\\\\";
    at = 2;
  }
  for (; at < path.size(); ++at) {
    const char16_t c = path[at];
    if (!IsSeparator(c)) {
      out.push_back(c);
    } else if (out.empty() || out.back() != u'\\') {
      out.push_back(u'\\');
    }
  }
  return out;
}

size_t RootLength(const WString& path, PathStyle style) {
  if (style == PathStyle::kPosix) return !path.empty() && path[0] == u'/' ? 1 : 0;
  return WindowsRootLength(path);
}

size_t RootLength(const std::string& path, PathStyle style) {
  if (style == PathStyle::kPosix) return !path.empty() && path[0] == '/' ? 1 : 0;
  return WindowsRootLength(path);
}

bool IsVerbatimPath(const WString& path) { return StartsWithVerbatim(path); }

WString LongPathForm(const WString& path, PathStyle style) {
  if (style == PathStyle::kPosix || path.size() < kLongPathUnits || IsVerbatimPath(path)) {
    return path;
  }
  const bool unc = path.size() > 2 && path[0] == u'\\' && path[1] == u'\\';
  const bool drive =
      path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':' && path[2] == u'\\';
  if (!unc && !drive) return path;  // relative or drive-less: only Windows knows where
  const size_t root = WindowsRootLength(path);
  std::vector<WString> parts;
  size_t at = root;
  while (at < path.size()) {
    size_t end = path.find(u'\\', at);
    if (end == WString::npos) end = path.size();
    const WString part = path.substr(at, end - at);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  WString out =
      unc ? u"\\\\?\\UNC\\" + path.substr(2, root - 2) : u"\\\\?\\" + path.substr(0, root);
  if (out.back() != u'\\') out.push_back(u'\\');
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out.push_back(u'\\');
    out += parts[i];
  }
  if (path.back() == u'\\' && out.back() != u'\\') out.push_back(u'\\');
  return out;
}

}  // namespace platform
}  // namespace quillet
