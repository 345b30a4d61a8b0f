#include "engine/core/Connections.h"

namespace harbix {

bool ConnectionCounters::TryAdmit() {
  uint32_t dwActive = m_dwActive.load();
  do {
    const uint32_t dwLimit = m_dwLimit.load();
    if (dwLimit != kUnlimitedConnections && dwActive >= dwLimit) return false;
  } while (!m_dwActive.compare_exchange_weak(dwActive, dwActive + 1));
  m_nTotal.fetch_add(1);
  return true;
}

ConnectionCounters& Connections() {
  static ConnectionCounters counters;
  return counters;
}

}  // namespace harbix
