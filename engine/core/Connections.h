// The engine-wide connection counters and limit, shared by every service thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace harbix {

inline constexpr uint32_t kUnlimitedConnections = 0xFFFFFFFF;

struct ConnectionCounters {
  std::atomic<int32_t> m_nTotal{0};      // sessions created since the engine started
  std::atomic<uint32_t> m_dwActive{0};   // places taken now
  std::atomic<uint32_t> m_dwLimit{kUnlimitedConnections};

  // Takes a place unless the limit is reached. The check and the count are one step, so two
  // services accepting at once cannot both take the last place.
  bool TryAdmit();
  void Release() { m_dwActive.fetch_sub(1); }
  // A session was made for an admitted connection.
  void CountSession() { m_nTotal.fetch_add(1); }
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

// A place under the connection limit, held for as long as the ticket lives: a session, or a
// port map's UDP peer. It counts in the total once what it admits has really been made.
class AdmissionTicket {
 public:
  AdmissionTicket() = default;
  ~AdmissionTicket() { Release(); }
  AdmissionTicket(AdmissionTicket&& other) noexcept : m_bHeld(other.m_bHeld) { other.m_bHeld = false; }
  AdmissionTicket& operator=(AdmissionTicket&& other) noexcept;
  AdmissionTicket(const AdmissionTicket&) = delete;
  AdmissionTicket& operator=(const AdmissionTicket&) = delete;

  // An empty ticket when the limit is reached.
  static AdmissionTicket TryAdmit();
  explicit operator bool() const { return m_bHeld; }
  // What the ticket admitted exists now: it counts in TotalConnections.
  void Confirm();
  void Release();

 private:
  bool m_bHeld = false;
};

}  // namespace harbix
