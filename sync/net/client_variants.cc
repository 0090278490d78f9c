#include "sync/net/client_variants.h"

namespace quillet {

BrowserNetInterface::~BrowserNetInterface() { StopTimer(); }

CalendarNetInterface::~CalendarNetInterface() { StopTimer(); }

}  // namespace quillet
