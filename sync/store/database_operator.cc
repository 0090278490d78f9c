#include "sync/store/database_operator.h"

namespace quillet {

DataBaseOperator& DataBaseOperator::GetInstance() {
  static DataBaseOperator instance;
  return instance;
}

// The SQLite store is not built yet: until it is, opening it fails, so every sync call
// stops with the store's failure code instead of running without one.
bool DataBaseOperator::IntiDataBase(const WString& /*userId*/, const WString& /*dataDir*/) {
  return false;
}

bool DataBaseOperator::UpdateCtagData(const WString& /*ctagName*/, const WString& /*ctagValue*/) {
  return false;
}

}  // namespace quillet
