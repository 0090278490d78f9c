#include "sync/net/client_variants.h"

namespace quillet {

BrowserNetInterface::~BrowserNetInterface() { StopRenewals(); }

CalendarNetInterface::~CalendarNetInterface() { StopRenewals(); }

}  // namespace quillet
