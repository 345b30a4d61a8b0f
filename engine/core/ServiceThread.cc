#include "engine/core/ServiceThread.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/AccessList.h"
#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"
#include "platform/TimedLock.h"

namespace harbix {
namespace {

uint64_t NextUniqueId() {
  static std::atomic<uint64_t> qwNext{1};
  return qwNext.fetch_add(1);
}

}  // namespace

ServiceThread::ServiceThread(ServiceId id, ThreadId engine, SessionFactory factory, uint16_t wMaxDatagram)
    : m_service(id),
      m_engine(engine),
      m_wMaxDatagram(wMaxDatagram),
      m_factory(std::move(factory)),
      m_log(TraitsOf(id).m_lpLogFile),
      m_qwUniqueId(NextUniqueId()) {}

ServiceThread::ServiceThread(ThreadId engine, SessionFactory factory, uint16_t wMaxDatagram)
    : m_engine(engine), m_wMaxDatagram(wMaxDatagram), m_factory(std::move(factory)), m_log(""), m_qwUniqueId(NextUniqueId()) {}

ServiceThread::~ServiceThread() { Join(); }

bool ServiceThread::ReadStats(ServiceStats* pStats, std::chrono::milliseconds wait) {
  if (!TryLockFor(m_countersLock, wait)) return false;
  std::lock_guard<std::mutex> guard(m_countersLock, std::adopt_lock);
  *pStats = m_stats;
  pStats->m_bStatus = m_bStatus.load();
  return true;
}

void ServiceThread::PostReload() { MessageLoop::PostThreadMessage(Id(), WM_RELOAD); }

void ServiceThread::Stop() {
  m_bStopping.store(true);
  m_bStoppedByEngine.store(true);
  SetPriority(ThreadPriority::Highest);
  MessageLoop::PostThreadMessage(Id(), WM_QUIT);
}

void ServiceThread::AddToCounters(int nActive, uint64_t qwSent, uint64_t qwReceived) {
  if (!TryLockFor(m_countersLock, kCounterWait)) return;
  std::lock_guard<std::mutex> guard(m_countersLock, std::adopt_lock);
  m_stats.m_dwActive += static_cast<uint32_t>(nActive);
  m_stats.m_qwSent += qwSent;
  m_stats.m_qwReceived += qwReceived;
}

// ---------------------------------------------------------------------------------------------
// Settings and sockets

std::shared_ptr<const ServiceConfig> ServiceThread::ReadSettings() {
  return std::make_shared<const ServiceConfig>(ReadServiceConfig(*m_service));
}

bool ServiceThread::BindChanged(const ServiceConfig& before, const ServiceConfig& after) const {
  return before.m_dwBindIp != after.m_dwBindIp || before.m_wBindPort != after.m_wBindPort;
}

uint8_t ServiceThread::OpenSockets() {
  Socket listener = Socket::Tcp();
  if (!listener) return kStatusFailure;
  if (!listener.Bind(m_lpConfig->m_dwBindIp, m_lpConfig->m_wBindPort, true)) return kStatusAddressInUse;
  if (!m_lpSink->Select(listener, FD_ACCEPT)) return kStatusFailure;
  if (!listener.Listen(kListenBacklog)) {
    m_lpSink->Deselect(listener);
    listener.Shutdown();
    return kStatusFailure;
  }
  m_listener = std::move(listener);
  return kStatusRunning;
}

void ServiceThread::CloseSockets() {
  if (!m_listener) return;
  m_lpSink->Deselect(m_listener);
  m_listener.Shutdown();
  m_listener.Close();
}

void ServiceThread::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t /*dwError*/) {
  if (dwEvent == FD_ACCEPT && hSocket == m_listener.Fd()) Accept();
}

// ---------------------------------------------------------------------------------------------
// Thread

int ServiceThread::Run() {
  if (Start()) {
    MessageLoop::Current()->Run([this](const Message& msg) { return PreTranslate(msg); });
  }
  End();
  return 0;
}

bool ServiceThread::Start() {
  m_lpSink = std::make_unique<SinkWindow>(Id());
  if (!m_lpSink->Create()) {
    SetStatus(kStatusFailure);
    return false;
  }
  m_lpConfig = ReadSettings();
  UpdatePriority();
  const uint8_t bStatus = OpenSockets();
  if (bStatus == kStatusInitializing) return true;  // CompleteStart follows
  if (bStatus != kStatusRunning) {
    SetStatus(bStatus);
    return false;
  }
  StartListening();
  return true;
}

void ServiceThread::StartListening() {
  m_log.SetEnabled(m_lpConfig->m_bLogActivity);
  if (m_lpConfig->m_bLogActivity) m_log.Open();
  MessageLoop::Current()->SetTimer(0, kCounterTimerId, kCounterTimerMs);
  SetStatus(kStatusRunning);
}

void ServiceThread::CompleteStart(uint8_t bStatus) {
  if (bStatus == kStatusRunning) {
    StartListening();
  } else {
    EndWithStatus(bStatus);
  }
}

void ServiceThread::EndWithStatus(uint8_t bStatus) {
  SetStatus(bStatus);
  m_bStopping.store(true);
  MessageLoop::Current()->PostQuitMessage(0);
}

bool ServiceThread::PreTranslate(const Message& msg) {
  if (msg.hwnd != 0) return false;  // windows: the sink and the sessions
  // After the stopping flag nothing new starts; sessions still end.
  if (msg.message == WM_SESSION_FINISHED) {
    EndSession(static_cast<uint64_t>(msg.wParam));
  } else if (m_bStopping.load()) {
    return true;
  } else if (msg.message == WM_TIMER && msg.wParam == kCounterTimerId) {
    RefreshCounters();
    OnTick();
  } else if (msg.message == WM_TIMER && msg.wParam == kAcceptRetryTimerId) {
    MessageLoop::Current()->KillTimer(0, kAcceptRetryTimerId);
    if (m_listener) m_lpSink->Select(m_listener, FD_ACCEPT);
  } else if (msg.message == WM_SOCKET_EVENT) {
    OnSocketEvent(static_cast<int>(msg.wParam), SelectEvent(msg.lParam), SelectError(msg.lParam));
  } else if (msg.message == WM_RELOAD) {
    OnReload();
  } else {
    OnThreadMessage(msg);
  }
  return true;
}

void ServiceThread::UpdatePriority() {
  const bool bInThread = !m_lpConfig->m_bUseThreads || m_nInThreadSessions > 0;
  SetPriority(bInThread ? ThreadPriority::Highest : ThreadPriority::BelowNormal);
}

void ServiceThread::LogPeer(const char* lpTemplate, const SocketAddress& peer) {
  m_log.Write(lpTemplate, {FormatIp(peer.m_dwIp), static_cast<uint64_t>(peer.m_wPort)});
}

// ---------------------------------------------------------------------------------------------
// Accepting and ending sessions

void ServiceThread::Accept() {
  SocketAddress peer;
  Socket client = m_listener.Accept(&peer);
  if (!client) {
    // Out of descriptors or memory: the caller stays in the backlog and would be offered again
    // at once, so stop listening for a moment instead of spinning.
    if (!WouldBlock(errno) && errno != ECONNABORTED && errno != EINTR &&
        m_lpSink->Select(m_listener, 0)) {
      MessageLoop::Current()->SetTimer(0, kAcceptRetryTimerId, kAcceptRetryMs);
    }
    return;
  }
  AdmissionTicket ticket;
  if (m_lpConfig->m_incoming.Admits(peer.m_dwIp)) ticket = AdmissionTicket::TryAdmit();
  if (!ticket) {
    LogPeer(kLogRefused, peer);
    client.Shutdown();
    return;
  }
  // Counted before it exists: a session answers its caller at once (on its own thread, maybe
  // before this one goes on), and a caller it served must find itself among the active.
  AddToCounters(1, 0, 0);
  if (!StartSession(std::move(client), peer, std::move(ticket))) {
    AddToCounters(-1, 0, 0);
    return;
  }
  LogPeer(kLogAccepted, peer);
}

bool ServiceThread::StartSession(Socket&& client, const SocketAddress& peer, AdmissionTicket&& ticket) {
  if (!m_factory) {
    // This service has no session kind of its own: the caller is let go.
    client.Shutdown();
    return false;
  }
  const uint64_t qwId = m_qwNextSessionId++;
  SessionEntry entry;
  entry.m_peer = peer;
  entry.m_lpCounters = std::make_unique<SessionCounters>();
  SessionContext context;
  context.m_qwId = qwId;
  context.m_owner = Id();
  context.m_client = std::move(client);
  context.m_peer = peer;
  context.m_lpCounters = entry.m_lpCounters.get();
  context.m_lpConfig = m_lpConfig;
  context.m_lpServiceState = m_lpServiceState;
  context.m_wMaxDatagram = m_wMaxDatagram;
  context.m_sServiceName = m_service ? TraitsOf(*m_service).m_lpKey : "MAP " + std::to_string(m_lpConfig->m_wBindPort);

  if (m_lpConfig->m_bUseThreads) {
    SessionThread* lpWorker = TakeWorker();
    if (!lpWorker || !lpWorker->Assign(std::move(context))) return false;
    entry.m_lpWorker = lpWorker;
    // The session is made on its thread, which may fail to make it: that thread counts it once
    // it runs.
  } else {
    entry.m_session = SessionHandle(m_factory(std::move(context)));
    if (!entry.m_session.Start()) return false;
    ++m_nInThreadSessions;
    UpdatePriority();
    ticket.Confirm();  // a session exists now: it counts
  }
  entry.m_ticket = std::move(ticket);
  m_sessions.emplace(qwId, std::move(entry));
  return true;
}

SessionThread* ServiceThread::TakeWorker() {
  if (!m_vIdleWorkers.empty()) {
    SessionThread* lpWorker = m_vIdleWorkers.back().m_lpWorker;
    m_vIdleWorkers.pop_back();
    return lpWorker;
  }
  auto lpWorker = std::make_unique<SessionThread>(Id(), m_factory);
  if (!lpWorker->Create(SessionThread::kStackSize)) return nullptr;
  lpWorker->SetPriority(ThreadPriority::AboveNormal);
  lpWorker->Resume();
  m_vWorkers.push_back(std::move(lpWorker));
  return m_vWorkers.back().get();
}

void ServiceThread::ReleaseWorker(SessionThread* lpWorker) {
  if (m_vIdleWorkers.size() < kMaxIdleWorkers && !m_bStopping.load()) {
    m_vIdleWorkers.push_back(IdleWorker{lpWorker, MessageLoop::Current()->NowMs()});
  } else {
    RetireWorker(lpWorker);
  }
}

void ServiceThread::RetireWorker(SessionThread* lpWorker) {
  auto it = std::find_if(m_vWorkers.begin(), m_vWorkers.end(), [&](const auto& lpOwned) { return lpOwned.get() == lpWorker; });
  if (it == m_vWorkers.end()) return;
  lpWorker->StopByService();
  m_vRetiring.push_back(std::move(*it));
  m_vWorkers.erase(it);
}

void ServiceThread::TrimIdleWorkers() {
  // The oldest wait at the front.
  const uint64_t qwNow = MessageLoop::Current()->NowMs();
  while (!m_vIdleWorkers.empty() && qwNow - m_vIdleWorkers.front().m_qwSinceMs > kIdleWorkerLifetimeMs) {
    SessionThread* lpWorker = m_vIdleWorkers.front().m_lpWorker;
    m_vIdleWorkers.erase(m_vIdleWorkers.begin());
    RetireWorker(lpWorker);
  }
}

void ServiceThread::ReapWorkers() {
  std::erase_if(m_vRetiring, [](const std::unique_ptr<SessionThread>& lpWorker) { return lpWorker->TryJoin(); });
}

std::pair<uint64_t, uint64_t> ServiceThread::TakeDeltas(SessionEntry& entry) {
  const uint64_t qwSent = entry.m_lpCounters->m_qwSent.load(std::memory_order_relaxed);
  const uint64_t qwReceived = entry.m_lpCounters->m_qwReceived.load(std::memory_order_relaxed);
  std::pair<uint64_t, uint64_t> deltas{qwSent - entry.m_qwReportedSent, qwReceived - entry.m_qwReportedReceived};
  entry.m_qwReportedSent = qwSent;
  entry.m_qwReportedReceived = qwReceived;
  return deltas;
}

void ServiceThread::RefreshCounters() {
  // The counts belong to the entries, which outlive their sessions: reading them is always safe.
  for (auto& [qwId, entry] : m_sessions) {
    const auto [qwSent, qwReceived] = TakeDeltas(entry);
    if (qwSent || qwReceived) AddToCounters(0, qwSent, qwReceived);
  }
  TrimIdleWorkers();
  ReapWorkers();
}

void ServiceThread::EndSession(uint64_t qwId) {
  auto it = m_sessions.find(qwId);
  if (it == m_sessions.end()) return;
  SessionEntry entry = std::move(it->second);
  m_sessions.erase(it);
  entry.m_ticket.Release();
  if (entry.m_session) {
    entry.m_session.Reset();
    --m_nInThreadSessions;
    UpdatePriority();
  } else {
    // The thread reported after its session was gone; it waits for the next one.
    ReleaseWorker(entry.m_lpWorker);
    ReapWorkers();
  }
  const auto [qwSent, qwReceived] = TakeDeltas(entry);
  AddToCounters(-1, qwSent, qwReceived);
  LogPeer(kLogClosing, entry.m_peer);
}

// ---------------------------------------------------------------------------------------------
// Reload and end

void ServiceThread::Reload() {
  std::shared_ptr<const ServiceConfig> lpOld = m_lpConfig;
  m_lpConfig = ReadSettings();  // running sessions keep the snapshot they were given
  if (!m_lpConfig->m_bRunService) {
    EndWithStatus(kStatusShutDown);
    return;
  }
  m_log.SetEnabled(m_lpConfig->m_bLogActivity);
  if (m_lpConfig->m_bLogActivity) {
    m_log.Open();
  } else {
    m_log.Close();  // no closing line: the setting is off already
  }
  UpdatePriority();
  if (!BindChanged(*lpOld, *m_lpConfig)) return;
  SetStatus(kStatusInitializing);
  CloseSockets();
  const uint8_t bStatus = OpenSockets();
  if (bStatus == kStatusRunning) {
    SetStatus(bStatus);
  } else {
    EndWithStatus(bStatus);
  }
}

void ServiceThread::End() {
  m_bStopping.store(true);
  if (m_lpSink) {
    CloseSockets();
    m_lpSink->DeselectAll();
  }
  // Sessions on this thread go first, then the threads, each told to quit and then awaited.
  for (auto it = m_sessions.rbegin(); it != m_sessions.rend(); ++it) it->second.m_session.Reset();
  for (const auto& lpWorker : m_vWorkers) lpWorker->StopByService();
  for (const auto& lpWorker : m_vWorkers) lpWorker->Join();
  for (const auto& lpWorker : m_vRetiring) lpWorker->Join();
  m_vIdleWorkers.clear();
  m_vWorkers.clear();
  m_vRetiring.clear();
  m_sessions.clear();  // and with them their places under the limit
  m_nInThreadSessions = 0;
  OnSessionsGone();
  if (TryLockFor(m_countersLock, kCounterWait)) {
    std::lock_guard<std::mutex> guard(m_countersLock, std::adopt_lock);
    m_stats.m_dwActive = 0;
  }
  if (m_lpSink) {
    m_lpSink->Destroy();
    m_lpSink.reset();
  }
  m_log.Close();
  if (!m_bStoppedByEngine.load()) {
    MessageLoop::PostThreadMessage(m_engine, WM_SERVICE_ENDED, static_cast<uintptr_t>(m_qwUniqueId));
  }
}

}  // namespace harbix
