// The one-byte status of a service or port map, shared by the engine, which reports it, and the
// manager and harbixctl, which show it.
#pragma once

#include <cstdint>

namespace harbix {

enum ServiceStatus : uint8_t {
  kStatusShutDown = 0,        // "Run Service" turned off, or never ran
  kStatusRunning = 1,
  kStatusUnresolved = 252,    // a port map's destination host cannot be resolved
  kStatusAddressInUse = 253,  // the listening address and port cannot be bound
  kStatusFailure = 254,       // a socket could not be made, selected or put to listening
  kStatusInitializing = 255,
};

}  // namespace harbix
