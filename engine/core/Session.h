// The base of every session kind: a window on its owner's thread that receives the events of
// its own sockets, counts the bytes it moves, and ends by telling its owner, which destroys it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/ServiceConfig.h"
#include "platform/Socket.h"
#include "platform/Window.h"

namespace harbix {

// Byte counts of one session, read by the service thread while the session runs elsewhere.
struct SessionCounters {
  std::atomic<uint64_t> m_qwSent{0};
  std::atomic<uint64_t> m_qwReceived{0};
};

// What a session is made from.
struct SessionContext {
  uint64_t m_qwId = 0;            // unique per accepted connection; carried by session-finished
  ThreadId m_owner = 0;           // where session-finished goes
  Socket m_client;                // the accepted connection
  SocketAddress m_peer;
  SessionCounters* m_lpCounters = nullptr;  // owned by the service, outlives the session
  // The service's settings as they were at accept (outgoing list, SOCKS users, ...); later
  // reloads do not change a running session.
  std::shared_ptr<const ServiceConfig> m_lpConfig;
  // State a service shares with its sessions (the HTTP cache, a port map's destination).
  std::shared_ptr<void> m_lpServiceState;
  uint16_t m_wMaxDatagram = 65507;
};

class Session : public Window {
 public:
  explicit Session(SessionContext&& context);
  ~Session() override;

  uint64_t Id() const { return m_qwId; }
  bool Closing() const { return m_bClosing; }
  // Set by an owner that destroys the session itself: no session-finished follows.
  void SetQuiet() { m_bQuiet = true; }

 protected:
  // Sets the closing flag and tells the owner, once.
  void Finish();
  void CountSent(uint64_t cb) { m_lpCounters->m_qwSent.fetch_add(cb, std::memory_order_relaxed); }
  void CountReceived(uint64_t cb) { m_lpCounters->m_qwReceived.fetch_add(cb, std::memory_order_relaxed); }
  uint64_t Sent() const { return m_lpCounters->m_qwSent.load(std::memory_order_relaxed); }
  uint64_t Received() const { return m_lpCounters->m_qwReceived.load(std::memory_order_relaxed); }

  const ServiceConfig& Config() const { return *m_lpConfig; }
  // The outgoing check every session makes before it connects onwards.
  bool DestinationAllowed(uint32_t dwIp) const { return m_lpConfig->m_outgoing.Admits(dwIp); }

  // The idle check (timer 501): the first tick, dwFirstMs after the start, ends a session that
  // has received nothing; every later tick (each kIdlePeriodMs) ends one whose counts did not
  // move since the tick before. The first period after the switch always counts as activity.
  void StartIdleCheck(uint32_t dwFirstMs);
  // Handles a WM_TIMER with the idle timer's id; true when it was one.
  bool OnIdleTimer(uintptr_t nTimerId);

  SessionContext m_context;

 private:
  uint64_t m_qwId;
  SessionCounters* m_lpCounters;
  std::shared_ptr<const ServiceConfig> m_lpConfig;
  bool m_bClosing = false;
  bool m_bQuiet = false;
  bool m_bFinishPosted = false;
  bool m_bIdleFirstTick = true;
  uint64_t m_qwIdleSent = 0;
  uint64_t m_qwIdleReceived = 0;
};

inline constexpr uint32_t kIdlePeriodMs = 120000;

// Makes the session of a service's kind; null when it cannot.
using SessionFactory = std::function<std::unique_ptr<Session>(SessionContext&&)>;

}  // namespace harbix
