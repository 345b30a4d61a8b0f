// The skeleton of every proxy service: a thread with its own message loop that owns the
// listening socket, accepts callers within the access list and the engine-wide limit, hosts
// their sessions (on itself, or on a thread each), keeps the service's counters and activity
// log, and re-reads its settings on request.
#pragma once

#include <atomic>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/ServiceConfig.h"
#include "engine/core/ActivityLog.h"
#include "engine/core/Connections.h"
#include "engine/core/ServiceStats.h"
#include "engine/core/Session.h"
#include "engine/core/SessionThread.h"
#include "engine/core/SinkWindow.h"
#include "platform/Messages.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace harbix {

class ServiceThread : public Thread {
 public:
  // Counter writers wait this long for the lock, the engine's status reader kStatsWait; a wait
  // that times out skips that one update.
  static constexpr std::chrono::milliseconds kCounterWait{3000};
  static constexpr std::chrono::milliseconds kStatsWait{500};
  // The system's largest backlog: a burst of callers must wait in the queue, not have their
  // connection attempts dropped and retried a second later.
  static constexpr int kListenBacklog = SOMAXCONN;
  // After an accept fails for want of resources, accepting pauses this long.
  static constexpr uint32_t kAcceptRetryTimerId = 2;
  static constexpr uint32_t kAcceptRetryMs = 250;
  // Session threads wait for the next session after theirs: making a thread (and unmapping its
  // stack when it goes) costs more than the few pages an idle one holds. Those idle this long
  // are let go, so that a service that has gone quiet holds what it held before its callers
  // came; never more than the cap wait.
  static constexpr size_t kMaxIdleWorkers = 256;
  static constexpr uint64_t kIdleWorkerLifetimeMs = 10000;

  // factory may be empty: connections are then accepted, counted and closed at once.
  ServiceThread(ServiceId id, ThreadId engine, SessionFactory factory, uint16_t wMaxDatagram = 65507);
  ~ServiceThread() override;
  uint8_t Status() const { return m_bStatus.load(); }
  // Unique for the life of the process: the service-ended message names the thread by it, so
  // that a stale message can never be taken for a thread made later at the same address.
  uint64_t UniqueId() const { return m_qwUniqueId; }
  bool Stopping() const { return m_bStopping.load(); }
  // A copy of the counters taken under the lock; false when the lock was not obtained in time.
  bool ReadStats(ServiceStats* pStats, std::chrono::milliseconds wait = kStatsWait);

  // From the engine thread.
  void PostReload();
  // Marks the thread as stopped by the engine (so it does not report its end) and tells it to
  // quit; the engine then joins it.
  void Stop();

 protected:
  // A thread that is no proxy service (a port map): no key of its own and no activity log.
  ServiceThread(ThreadId engine, SessionFactory factory, uint16_t wMaxDatagram);

  int Run() override;

  // Reads the service's key into a new settings snapshot.
  virtual std::shared_ptr<const ServiceConfig> ReadSettings();
  // Creates, binds and selects the service's sockets; returns kStatusRunning or the failure, or
  // kStatusInitializing when the start goes on later (then CompleteStart finishes it).
  virtual uint8_t OpenSockets();
  virtual void CloseSockets();
  // A socket event re-posted by the sink.
  virtual void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError);
  virtual bool BindChanged(const ServiceConfig& before, const ServiceConfig& after) const;
  // The reload message; re-reads the settings.
  virtual void OnReload() { Reload(); }
  // Once a second, after the counter refresh.
  virtual void OnTick() {}
  // Thread messages of a service's own (the HTTP cache's maintenance).
  virtual void OnThreadMessage(const Message& /*msg*/) {}
  // The thread is ending and every session is gone.
  virtual void OnSessionsGone() {}

  // Finishes a start that OpenSockets left pending.
  void CompleteStart(uint8_t bStatus);
  // Ends the thread's loop with a status (the thread then ends as usual).
  void EndWithStatus(uint8_t bStatus);

  void Accept();
  // Adds to the counters under the lock (kCounterWait).
  void AddToCounters(int nActive, uint64_t qwSent, uint64_t qwReceived);
  void SetStatus(uint8_t bStatus) { m_bStatus.store(bStatus); }

  const std::optional<ServiceId> m_service;
  const ThreadId m_engine;
  const uint16_t m_wMaxDatagram;
  SessionFactory m_factory;
  std::shared_ptr<const ServiceConfig> m_lpConfig;
  std::shared_ptr<void> m_lpServiceState;  // handed to every session
  ActivityLog m_log;
  std::unique_ptr<SinkWindow> m_lpSink;
  Socket m_listener;

 private:
  // One accepted connection, hosted here or on its own thread. Its place under the connection
  // limit goes with it.
  struct SessionEntry {
    SocketAddress m_peer;
    AdmissionTicket m_ticket;
    std::unique_ptr<SessionCounters> m_lpCounters;
    SessionHandle m_session;               // Use Threads 0
    SessionThread* m_lpWorker = nullptr;   // Use Threads 1
    uint64_t m_qwReportedSent = 0;
    uint64_t m_qwReportedReceived = 0;
  };

  bool Start();
  bool PreTranslate(const Message& msg);
  void RefreshCounters();
  void EndSession(uint64_t qwId);
  void Reload();
  void End();
  void StartListening();
  void UpdatePriority();
  bool StartSession(Socket&& client, const SocketAddress& peer, AdmissionTicket&& ticket);
  // A session thread to host the next session: an idle one, or a new one.
  SessionThread* TakeWorker();
  // A session thread whose session ended: kept for the next one, or told to quit.
  void ReleaseWorker(SessionThread* lpWorker);
  void RetireWorker(SessionThread* lpWorker);
  // Lets go of the threads that have waited too long.
  void TrimIdleWorkers();
  // Joins the threads told to quit that have ended, without waiting for the others.
  void ReapWorkers();
  // Bytes moved since the last report, which they then become.
  static std::pair<uint64_t, uint64_t> TakeDeltas(SessionEntry& entry);
  void LogPeer(const char* lpTemplate, const SocketAddress& peer);

  const uint64_t m_qwUniqueId;
  std::atomic<uint8_t> m_bStatus{kStatusInitializing};
  std::atomic<bool> m_bStopping{false};
  std::atomic<bool> m_bStoppedByEngine{false};
  std::mutex m_countersLock;
  ServiceStats m_stats;
  std::map<uint64_t, SessionEntry> m_sessions;
  uint64_t m_qwNextSessionId = 1;
  size_t m_nInThreadSessions = 0;
  std::vector<std::unique_ptr<SessionThread>> m_vWorkers;   // every live session thread
  struct IdleWorker {
    SessionThread* m_lpWorker;
    uint64_t m_qwSinceMs;
  };
  std::vector<IdleWorker> m_vIdleWorkers;                   // those without a session, newest last
  std::vector<std::unique_ptr<SessionThread>> m_vRetiring;  // told to quit, not joined yet
};

}  // namespace harbix
