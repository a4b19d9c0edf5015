#include "Db/DBtran.h"
#include "Db/Engine/Backend.h"

namespace db::engine {

void Connection::noteFailure(bool transactionEnded) {
  if (transactionEnded && owner) owner->markAborted(m_lastErrorText);
}

}  // namespace db::engine
