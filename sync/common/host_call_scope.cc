#include "sync/common/host_call_scope.h"

namespace quillet {
namespace {

thread_local int hostCallDepth = 0;

}  // namespace

HostCallScope::HostCallScope() { ++hostCallDepth; }
HostCallScope::~HostCallScope() { --hostCallDepth; }

bool InsideHostCallback() { return hostCallDepth > 0; }

}  // namespace quillet
