// A service's counters and status, as the engine reports them.
#pragma once

#include <cstdint>

namespace harbix {

// The one-byte status of a service or port map.
enum ServiceStatus : uint8_t {
  kStatusShutDown = 0,        // "Run Service" turned off, or never ran
  kStatusRunning = 1,
  kStatusUnresolved = 252,    // a port map's destination host cannot be resolved
  kStatusAddressInUse = 253,  // the listening address and port cannot be bound
  kStatusFailure = 254,       // a socket could not be made, selected or put to listening
  kStatusInitializing = 255,
};

struct ServiceStats {
  uint32_t m_dwActive = 0;
  uint32_t m_dwReserved = 0;
  uint64_t m_qwSent = 0;
  uint64_t m_qwReceived = 0;
  uint8_t m_bStatus = kStatusShutDown;
};

}  // namespace harbix
