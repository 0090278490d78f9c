#include "sync/common/active_adapter.h"

#include <mutex>

namespace quillet {
namespace {

std::mutex& AdapterMutex() {
  static std::mutex mutex;
  return mutex;
}

AdapterRef& Active() {
  static AdapterRef adapter;
  return adapter;
}

}  // namespace

AdapterRef ActiveAdapter() {
  std::lock_guard<std::mutex> lock(AdapterMutex());
  return Active();
}

void SetActiveAdapter(AdapterRef adapter) {
  AdapterRef previous;
  {
    std::lock_guard<std::mutex> lock(AdapterMutex());
    previous.swap(Active());
    Active() = std::move(adapter);
  }
  // previous is released outside the lock.
}

}  // namespace quillet
