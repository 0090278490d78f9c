// Names and fixed values shared by the installer and the running service.
#pragma once

#include <cstdint>

namespace orvex {

constexpr char16_t kServiceName[] = u"OrvexCoreService";
constexpr wchar_t kLoggerName[] = L"OrvexCoreService";
constexpr char16_t kActsvcKey[] = u"\\SOFTWARE\\Orvex Core\\QZID";
constexpr char16_t kActsvcName16[] = u"actsvc";
constexpr char kActsvcName[] = "actsvc";
constexpr uint32_t kMaxPath = 260;  // the program's own path must fit MAX_PATH

}  // namespace orvex
