// Closes a service manager or service handle when it goes out of scope, so that every
// early return of the control commands releases what it opened.
#pragma once

#include "service/platform/service_platform.h"

namespace orvex {

class ScopedServiceHandle {
 public:
  ScopedServiceHandle(ServicePlatform& platform, Handle handle)
      : platform_(platform), handle_(handle) {}
  ~ScopedServiceHandle() {
    if (handle_ != 0) platform_.CloseServiceHandle(handle_);
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }

 private:
  ServicePlatform& platform_;
  Handle handle_;
};

}  // namespace orvex
