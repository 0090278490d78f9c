// quillet_sync_server: the reference sync server as a program of its own.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/sync_server/sync_server.h"

namespace {

const char kUsage[] =
    "usage: quillet_sync_server --cert FILE --key FILE [options]\n"
    "  --cert FILE              server certificate (PEM)\n"
    "  --key FILE               its private key (PEM)\n"
    "  --port N                 port on the host; 0 (default) picks a free one\n"
    "  --host ADDR              IPv4 address to listen on (default 127.0.0.1)\n"
    "  --data FILE              keep the data in this SQLite file (default: in memory)\n"
    "  --interval SECONDS       keep-alive interval told to clients (default 60)\n"
    "  --lock-timeout MS        lock lifetime without KEEPLOCK (default 3 intervals)\n"
    "  --limit N                records per collection, 0 = none (default 0)\n"
    "  --collection-limit NAME=N  limit for one collection name\n"
    "  --expired-token TOKEN    answer 402 to this access token (repeatable)\n"
    "  --port-file FILE         write the chosen port into FILE once listening\n"
    "  --record FILE            append every request as received (method, target,\n"
    "                           headers, body) to FILE\n"
    "  --stats FILE             write the requests per method and the connections\n"
    "                           accepted into FILE on SIGUSR1 and at exit\n"
    "The chosen address is printed as \"listening on https://HOST:PORT/\".\n"
    "Stops cleanly on SIGINT or SIGTERM.\n";

bool ParseNumber(const std::string& text, long long low, long long high, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// Written aside and renamed, so a reader never sees a half-written file.
bool WriteAtomically(const std::string& path, const std::string& text) {
  std::string partial = path + ".partial";
  {
    std::ofstream out(partial);
    out << text;
    out.close();
    if (!out) return false;
  }
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

// "snapshot K" first, so that a reader waiting for its Kth request knows when it is there.
std::string StatsText(const quillet::syncserver::SyncServer& server, int snapshot) {
  const quillet::syncserver::ConnectionCounts connections = server.Connections();
  std::string text = "snapshot " + std::to_string(snapshot) + "\n";
  text += "connections " + std::to_string(connections.accepted) + "\n";
  text += "resumed " + std::to_string(connections.resumed) + "\n";
  for (const auto& [method, count] : server.RequestCounts()) {
    text += "requests " + method + " " + std::to_string(count) + "\n";
  }
  return text;
}

int Fail(const std::string& message) {
  std::cerr << "quillet_sync_server: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using quillet::syncserver::SyncServer;
  using quillet::syncserver::SyncServerOptions;

  SyncServerOptions options;
  std::vector<std::pair<std::string, size_t>> collection_limits;
  std::vector<std::string> expired_tokens;
  std::string port_file;
  std::string stats_file;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc) return Fail("missing value after " + arg + "\n" + kUsage);
    std::string value = argv[++i];
    long long n = 0;
    if (arg == "--cert") {
      options.cert_file = value;
    } else if (arg == "--key") {
      options.key_file = value;
    } else if (arg == "--host") {
      options.host = value;
    } else if (arg == "--data") {
      options.data_file = value;
    } else if (arg == "--port-file") {
      port_file = value;
    } else if (arg == "--record") {
      options.request_record_file = value;
    } else if (arg == "--stats") {
      stats_file = value;
    } else if (arg == "--expired-token") {
      expired_tokens.push_back(value);
    } else if (arg == "--port") {
      if (!ParseNumber(value, 0, 65535, &n)) return Fail("--port needs 0 to 65535");
      options.port = static_cast<int>(n);
    } else if (arg == "--interval") {
      if (!ParseNumber(value, 1, 86400, &n)) return Fail("--interval needs 1 to 86400 seconds");
      options.interval_seconds = static_cast<int>(n);
    } else if (arg == "--lock-timeout") {
      if (!ParseNumber(value, 1, 86400000, &n)) return Fail("--lock-timeout needs milliseconds");
      options.lock_timeout_ms = static_cast<int>(n);
    } else if (arg == "--limit") {
      if (!ParseNumber(value, 0, 1LL << 40, &n)) return Fail("--limit needs a count");
      options.record_limit = static_cast<size_t>(n);
    } else if (arg == "--collection-limit") {
      size_t eq = value.rfind('=');
      if (eq == std::string::npos || eq == 0 ||
          !ParseNumber(value.substr(eq + 1), 0, 1LL << 40, &n)) {
        return Fail("--collection-limit needs NAME=COUNT");
      }
      collection_limits.emplace_back(value.substr(0, eq), static_cast<size_t>(n));
    } else {
      return Fail("unknown option " + arg + "\n" + kUsage);
    }
  }
  if (options.cert_file.empty() || options.key_file.empty()) {
    return Fail(std::string("--cert and --key are required\n") + kUsage);
  }

  // Signals are taken by sigwait below; block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client that drops its connection must not end the server.
  signal(SIGPIPE, SIG_IGN);

  SyncServer server(options);
  std::string error;
  if (!server.Start(&error)) return Fail(error);
  for (const auto& [name, limit] : collection_limits) {
    server.service().SetCollectionLimit(name, limit);
  }
  for (const std::string& token : expired_tokens) server.service().ExpireToken(token);

  if (!port_file.empty() && !WriteAtomically(port_file, std::to_string(server.port()) + "\n")) {
    return Fail("cannot write " + port_file);
  }
  std::cout << "listening on " << server.url() << std::endl;

  int received = 0;
  int snapshots = 0;
  while (sigwait(&signals, &received) == 0 && received == SIGUSR1) {
    if (!stats_file.empty() && !WriteAtomically(stats_file, StatsText(server, ++snapshots))) {
      std::cerr << "quillet_sync_server: cannot write " << stats_file << std::endl;
    }
  }
  server.Stop();
  if (!stats_file.empty() && !WriteAtomically(stats_file, StatsText(server, ++snapshots))) {
    return Fail("cannot write " + stats_file);
  }
  std::cout << "stopped" << std::endl;
  return 0;
}
