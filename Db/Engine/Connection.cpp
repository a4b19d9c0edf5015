#include "Db/DBtable.h"
#include "Db/DBtran.h"
#include "Db/Engine/Backend.h"

namespace db::engine {

void Connection::closeCursors(int code, const std::string& why) {
  // Each binding takes itself off the list.
  while (!cursors.empty()) cursors.back()->endCursor(code, why);
}

void Connection::noteFailure(bool transactionEnded) {
  if (transactionEnded && owner) owner->markAborted(m_lastErrorText);
}

}  // namespace db::engine
