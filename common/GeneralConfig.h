// Engine-wide settings and the manager's refresh settings (key "General").
#pragma once

#include <cstdint>

#include "common/KeyReader.h"

namespace harbix {

// Process priority classes as the store keeps them.
inline constexpr int32_t kPriorityNormal = 32;
inline constexpr int32_t kPriorityIdle = 64;
inline constexpr int32_t kPriorityHigh = 128;
inline constexpr int32_t kPriorityRealtime = 256;

inline constexpr int32_t kMaxConnectionsLimit = 2000;

struct GeneralConfig {
  int32_t m_nMaxConnections = 0;  // 0 = no limit, otherwise 1..2000
  int32_t m_nProcessPriority = kPriorityIdle;
  int32_t m_nRefreshRate = 3;     // seconds, 1..60
  bool m_bNoRefresh = false;
};

GeneralConfig ReadGeneralConfig();
// The same from the values of the key in hand.
GeneralConfig ParseGeneralConfig(const KeyReader& reader);
void WriteGeneralConfig(const GeneralConfig& config);

}  // namespace harbix
