// Log line benchmark: what one per-record line costs, written through the library's log
// writers and log4cpp with the default property file beside this program, and what a line
// of a category that is switched off costs.
//
//   log_bench [lines]        default: 200000
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sync/log/logger.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU microseconds per call of write(i).
template <typename Write>
double PerLine(int lines, Write write) {
  const double start = CpuSeconds();
  for (int i = 0; i < lines; ++i) write(i);
  return (CpuSeconds() - start) * 1e6 / lines;
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 200000;
  char dir[] = "/tmp/quillet-log-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr || !quillet::InitLogger(quillet::Utf8ToWide(dir))) {
    std::fprintf(stderr, "cannot start logging under /tmp (is log4cpp.nt.property beside me?)\n");
    return 1;
  }
  const quillet::WString guid = u"0123456789abcdef0123456789abcdef";
  const quillet::WString etag = u"e-1234567";
  const auto infoLine = [&](int) {
    quillet::LogInfo(u"[ProcessDownloadStructData] Cloud added,guid:" + guid + u",etag:" + etag);
  };
  const auto piecesLine = [&](int) {
    quillet::LogInfo(u"[ProcessDownloadStructData] Cloud added,guid:", guid, u",etag:", etag);
  };
  const double info = PerLine(lines, infoLine);
  const double pieces = PerLine(lines, piecesLine);
  const double sync = PerLine(lines, [&](int) {
    quillet::LogSync(u"Info", u"ProcessDownloadStructData", u"Meet batch requirements");
  });
  // The same info line with "subInfo" switched off by a property file of the host's.
  const std::string offDir = std::string(dir) + "/off";
  std::string properties = "log4cpp.rootCategory=ERROR\nlog4cpp.category.subInfo=ERROR\n";
  if (std::system(("mkdir -p " + offDir).c_str()) != 0) return 1;
  if (FILE* file = std::fopen((offDir + "/log4cpp.nt.property").c_str(), "w")) {
    std::fputs(properties.c_str(), file);
    std::fclose(file);
  }
  if (!quillet::InitLoggerFrom(quillet::Utf8ToWide(dir), quillet::Utf8ToWide(offDir))) return 1;
  const double off = PerLine(lines, infoLine);
  const double piecesOff = PerLine(lines, piecesLine);
  std::printf(
      "%d lines each, CPU per line: info line %.2f us (in pieces %.2f us), sync line "
      "%.2f us; with subInfo off: %.3f us (in pieces %.3f us)\n",
      lines, info, pieces, sync, off, piecesOff);
  std::string cleanup = std::string("rm -rf ") + dir;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
