// The base of every session kind: a window on its owner's thread that receives the events of
// its own sockets, counts the bytes it moves, and ends by telling its owner, which destroys it.
// The parts that own the session's sockets (relays, connects, listeners) register with it and
// get the events of their sockets.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/ServiceConfig.h"
#include "engine/core/SocketHandler.h"
#include "platform/Socket.h"
#include "platform/Window.h"

namespace harbix {

class Relay;

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
  // What the trace calls the service ("TNET", "HTTPS", a map's port).
  std::string m_sServiceName;
};

class Session : public Window {
 public:
  explicit Session(SessionContext&& context);
  ~Session() override;

  uint64_t Id() const { return m_qwId; }
  bool Closing() const { return m_bClosing; }
  // Set by an owner that destroys the session itself: no session-finished follows.
  void SetQuiet() { m_bQuiet = true; }

  // For the parts of the session.
  void CountSent(uint64_t cb) { m_lpCounters->m_qwSent.fetch_add(cb, std::memory_order_relaxed); }
  void CountReceived(uint64_t cb) { m_lpCounters->m_qwReceived.fetch_add(cb, std::memory_order_relaxed); }
  void AddHandler(SocketHandler* lpHandler);
  void RemoveHandler(SocketHandler* lpHandler);
  // A window timer id of its own for a part (the idle timer's is fixed).
  uint32_t TakeTimerId() { return m_nNextTimerId++; }
  // Why the session is ending: the first call that failed, with its error, or what the peer
  // did. Only the first reason is kept; the trace shows it once when the session ends (and
  // without the trace nothing is kept).
  void NoteEnd(const char* lpCall, int nError);
  void NoteEnd(std::string_view sReason);
  // Reading a request before relaying, in pieces of at most the buffer's size: one read, or
  // (Line) what came up to and including the first line feed, which leaves the rest in the
  // socket. 0 when nothing is waiting or the stream has ended (the relay hears of the end); a
  // read error ends the session. What is taken counts as received.
  size_t ReadRequestPiece(Socket& socket, std::span<char> buffer);
  size_t ReadRequestLine(Socket& socket, std::span<char> buffer);
  // The outgoing check every session makes before it connects onwards.
  bool DestinationAllowed(uint32_t dwIp) const { return m_lpConfig->m_outgoing.Admits(dwIp); }
  // A relay of this session has delivered what it could and closed its sockets. By default
  // the session is over.
  virtual void OnRelayEnded(Relay& relay);

 protected:
  // Sets the closing flag and tells the owner, once.
  void Finish();
  uint64_t Sent() const { return m_lpCounters->m_qwSent.load(std::memory_order_relaxed); }
  uint64_t Received() const { return m_lpCounters->m_qwReceived.load(std::memory_order_relaxed); }
  const ServiceConfig& Config() const { return *m_lpConfig; }
  const SocketAddress& Peer() const { return m_context.m_peer; }

  // The idle check (timer 501): the first tick, dwFirstMs after the start, ends a session that
  // has received nothing; every later tick (each kIdlePeriodMs) ends one whose counts did not
  // move since the tick before. The first period after the switch always counts as activity.
  void StartIdleCheck(uint32_t dwFirstMs);
  // A session that waits for something other than its client (a connection to come in, UDP
  // datagrams) may be quiet for long: the later ticks never end it.
  void SetNoIdle() { m_bNoIdle = true; }
  // A later tick found nothing moved. By default the session ends; a kind that says goodbye
  // first (FTP's reply line) does so and ends once it is out.
  virtual void OnIdleExpired();

  // Timers and socket events go to the parts that own them; a session kind that reads a socket
  // itself for a while (a request before relaying) looks at the events first.
  void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  virtual void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError);
  void RouteSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError);
  // Messages other than timers and socket events.
  virtual void OnMessage(uint32_t /*message*/, uintptr_t /*wParam*/, intptr_t /*lParam*/) {}

  SessionContext m_context;

 private:
  void OnIdleTimer();
  void TraceEnd() const;

  uint64_t m_qwId;
  SessionCounters* m_lpCounters;
  std::shared_ptr<const ServiceConfig> m_lpConfig;
  std::vector<SocketHandler*> m_vHandlers;
  uint32_t m_nNextTimerId;
  std::string m_sEndReason;
  bool m_bClosing = false;
  bool m_bQuiet = false;
  bool m_bFinishPosted = false;
  bool m_bIdleFirstTick = true;
  bool m_bNoIdle = false;
  uint64_t m_qwIdleSent = 0;
  uint64_t m_qwIdleReceived = 0;
};

inline constexpr uint32_t kIdlePeriodMs = 120000;

// Makes the session of a service's kind; null when it cannot.
using SessionFactory = std::function<std::unique_ptr<Session>(SessionContext&&)>;

// Owns a session: creating it starts the session (its window), and letting it go destroys the
// session quietly (its owner is the one who knows it is over).
class SessionHandle {
 public:
  SessionHandle() = default;
  explicit SessionHandle(std::unique_ptr<Session> lpSession) : m_lpSession(std::move(lpSession)) {}
  ~SessionHandle() { Reset(); }
  SessionHandle(SessionHandle&&) noexcept = default;
  SessionHandle& operator=(SessionHandle&& other) noexcept;
  SessionHandle(const SessionHandle&) = delete;
  SessionHandle& operator=(const SessionHandle&) = delete;

  // Creates the session's window, which starts it; false (and the session is gone) when the
  // session could not be made or started.
  bool Start();
  void Reset();
  Session* Get() const { return m_lpSession.get(); }
  explicit operator bool() const { return static_cast<bool>(m_lpSession); }

 private:
  std::unique_ptr<Session> m_lpSession;
};

}  // namespace harbix
