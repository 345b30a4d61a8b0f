// A service's counters and status, as the engine keeps them.
#pragma once

#include <cstdint>

#include "common/ServiceStatus.h"

namespace harbix {

struct ServiceStats {
  uint32_t m_dwActive = 0;
  uint32_t m_dwReserved = 0;
  uint64_t m_qwSent = 0;
  uint64_t m_qwReceived = 0;
  uint8_t m_bStatus = kStatusShutDown;
};

}  // namespace harbix
