#include "sync/testing/fake_net.h"

namespace quillet {
namespace testing {

CtagMap Ctags(std::initializer_list<std::pair<WString, WString>> entries) {
  CtagMap map;
  for (const auto& entry : entries) map[entry.first] = CtagItem{entry.first, entry.second, u""};
  return map;
}

int FakeNet::Lock(CtagMap& ctags) {
  ++script_->lockCalls;
  for (const auto& entry : script_->lockCtags) ctags[entry.first] = entry.second;
  return script_->lockStatus;
}

int FakeNet::Unlock(CtagMap& ctags) {
  ++script_->unlockCalls;
  for (const auto& entry : script_->unlockCtags) ctags[entry.first] = entry.second;
  return script_->unlockStatus;
}

}  // namespace testing
}  // namespace quillet
