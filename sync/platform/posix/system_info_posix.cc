// POSIX implementation of the machine facts: the DMI product serial, the proxy and language
// from the environment.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "sync/platform/system_info.h"

namespace quillet {
namespace platform {
namespace {

const char kDmiDirectory[] = "/sys/class/dmi/id";
// More than any serial can hold; bounds what a strange file can make us read.
constexpr size_t kMaxSerialBytes = 4096;

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value ? std::string(value) : std::string();
}

// "de_DE.UTF-8@euro" -> "de-DE"; "C" and "POSIX" mean no language was chosen.
std::string LocaleToTag(std::string locale) {
  const size_t cut = locale.find_first_of(".@");
  if (cut != std::string::npos) locale.erase(cut);
  if (locale == "C" || locale == "POSIX") return std::string();
  for (char& c : locale) {
    if (c == '_') c = '-';
  }
  return locale;
}

}  // namespace

int ReadBiosSerialNumberFrom(const std::string& dmiDirectory, char16_t* buffer) {
  if (buffer == nullptr) return kSerialNoSource;
  buffer[0] = 0;
  DIR* dir = opendir(dmiDirectory.c_str());
  if (dir == nullptr) return kSerialNoSource;
  closedir(dir);

  FILE* file = fopen((dmiDirectory + "/product_serial").c_str(), "rb");
  if (file == nullptr) return kSerialNotFound;
  std::string bytes(kMaxSerialBytes, '\0');
  const size_t n = fread(&bytes[0], 1, bytes.size(), file);
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) return kSerialNotFound;
  bytes.resize(n);
  // sysfs ends the value with a line feed; it is not part of the serial.
  if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
  CopySerial(Utf8ToWide(bytes), buffer);
  return kSerialOk;
}

int GetBiosSerialNumber(char16_t* buffer) {
  return ReadBiosSerialNumberFrom(kDmiDirectory, buffer);
}

std::string ManualProxy() {
  for (const char* name : {"https_proxy", "HTTPS_PROXY"}) {
    const std::string value = Env(name);
    if (!value.empty()) return value;
  }
  return std::string();
}

WString PreferredUiLanguage() {
  std::string language = Env("LANGUAGE");
  language = language.substr(0, language.find(':'));
  for (const std::string& value : {language, Env("LC_ALL"), Env("LC_MESSAGES"), Env("LANG")}) {
    if (value.empty()) continue;
    const std::string tag = LocaleToTag(value);
    return tag.empty() ? u"en-US" : Utf8ToWide(tag);
  }
  return u"en-US";
}

}  // namespace platform
}  // namespace quillet
