// The engine-wide connection counters and limit, shared by every service thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace harbix {

inline constexpr uint32_t kUnlimitedConnections = 0xFFFFFFFF;

struct ConnectionCounters {
  std::atomic<int32_t> m_nTotal{0};      // connections accepted since the engine started
  std::atomic<uint32_t> m_dwActive{0};   // sessions open now
  std::atomic<uint32_t> m_dwLimit{kUnlimitedConnections};

  // Counts one more connection unless the limit is reached. The check and the count are one
  // step, so two services accepting at once cannot both take the last place.
  bool TryAdmit();
  // A connection admitted by TryAdmit ended (or its session could not be made).
  void Release() { m_dwActive.fetch_sub(1); }
  // "Max Connections": 0 means no limit.
  void SetLimit(int32_t nMaxConnections) {
    m_dwLimit.store(nMaxConnections > 0 ? static_cast<uint32_t>(nMaxConnections) : kUnlimitedConnections);
  }
  void Reset() {
    m_nTotal.store(0);
    m_dwActive.store(0);
  }
};

// The process's counters.
ConnectionCounters& Connections();

}  // namespace harbix
