#include "sync/session/session_registry.h"

namespace quillet {

SessionRegistry& Sessions() {
  static SessionRegistry registry;
  return registry;
}

SyncSession* FindSession(const WString& syncType) {
  const auto it = Sessions().find(syncType);
  return it == Sessions().end() ? nullptr : it->second.get();
}

namespace {

std::function<SessionServices()>& ServicesFactory() {
  static std::function<SessionServices()> factory;
  return factory;
}

}  // namespace

void SetSessionServicesFactory(std::function<SessionServices()> factory) {
  ServicesFactory() = std::move(factory);
}

SessionServices ServicesForNewSession() {
  return ServicesFactory() ? ServicesFactory()() : SessionServices::Default();
}

}  // namespace quillet
