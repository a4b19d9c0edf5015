#include "Db/DBtable.h"
#include "Db/DBtran.h"
#include "Db/Engine/Backend.h"

namespace db::engine {

void Connection::closeCursors(int code, const std::string& why) {
  // Each binding takes itself off the list.
  while (!cursors.empty()) cursors.back()->endCursor(code, why);
}

bool parseSwitch(std::string_view name, std::string_view value, bool& out, std::string* error) {
  if (value != "1" && value != "0") {
    if (error) *error = std::string(name) + " takes 1 or 0, not '" + std::string(value) + "'";
    return false;
  }
  out = value == "1";
  return true;
}

void Connection::noteFailure(bool transactionEnded) {
  if (transactionEnded && owner) owner->markAborted(m_lastErrorText);
}

}  // namespace db::engine
