#include "engine/core/Engine.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <deque>
#include <future>
#include <limits.h>

#include "common/AppPaths.h"
#include "common/EngineChannel.h"
#include "common/Text.h"
#include "engine/core/Connections.h"
#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"
#include "platform/Priority.h"

namespace harbix {
namespace {

// Thread message to the engine: run the tasks queued by Call.
constexpr uint32_t WM_ENGINE_TASK = WM_USER + 22;

std::string SelfPath() {
  char szPath[PATH_MAX];
  const ssize_t cbPath = ::readlink("/proc/self/exe", szPath, sizeof szPath - 1);
  return cbPath > 0 ? std::string(szPath, static_cast<size_t>(cbPath)) : std::string();
}

// Thousands of sessions each hold a few descriptors: take all that the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

struct Engine::Task {
  std::function<void()> fn;
  std::promise<bool> done;
};

Engine::Engine(ServiceCatalog catalog, EngineOptions options) : m_catalog(std::move(catalog)), m_options(options) {}

Engine::~Engine() = default;

void Engine::Report(const char* lpText) { std::fprintf(stderr, "Harbix Engine: %s\n", lpText); }

int Engine::Run(const std::vector<std::string>& vArgs) {
  MessageLoop loop;
  if (!loop.Valid()) {
    Report("Failed to create Sink Window !");  // no message loop, so no window either
    SetState(State::Ended);
    return 1;
  }
  m_tid.store(loop.Id());
  if (std::optional<int> nStatus = Start(vArgs)) {
    SetState(State::Ended);
    return *nStatus;
  }
  SetState(State::Running);
  loop.Run([this](const Message& msg) { return PreTranslate(msg); });
  Stop();
  return 0;
}

std::optional<int> Engine::Start(const std::vector<std::string>& vArgs) {
  std::setlocale(LC_ALL, "C");  // English day and month names in the logs
  const bool bClose = !vArgs.empty() && EqualNoCase(vArgs[0], "CLOSE");
  if (!m_instance.Acquire(kInstanceLock)) {
    if (bClose) {
      SendQuitRequest();
    } else {
      Report("Engine is running");
    }
    return 0;
  }
  if (bClose) return 0;  // nothing runs that could be closed

  WriteEngineAppPath(SelfPath());
  RaiseDescriptorLimit();
  ::signal(SIGPIPE, SIG_IGN);

  m_lpSink = std::make_unique<SinkWindow>(m_tid.load());
  if (!m_lpSink->Create()) {
    Report("Failed to create Sink Window !");
    return 1;
  }
  m_general = ReadGeneralConfig();
  Connections().Reset();
  Connections().SetLimit(m_general.m_nMaxConnections);
  if (!m_control.Open(*m_lpSink)) {
    m_lpSink->Destroy();
    m_lpSink.reset();
    Report("Failed to create Control Socket !");
    return 1;
  }
  SetProcessPriorityClass(m_general.m_nProcessPriority);
  SetCurrentThreadPriority(ThreadPriority::BelowNormal);
  m_nStartTime = static_cast<int32_t>(std::time(nullptr));

  for (const ServiceStartOrder& start : kServiceStartOrder) {
    if (ReadRunService(start.m_id)) StartService(start.m_id, start.m_priority);
  }
  for (const MapRecord& record : ReadMapRecords()) {
    if (record.m_bRunService) StartMap(record);
  }
  if (m_options.m_bHandleSignals) WatchSignals();
  return std::nullopt;
}

void Engine::SendQuitRequest() {
  // Any failure along the way ends the attempt without a word.
  EngineChannel channel;
  if (!channel.Open() || !channel.Hello(kQuitRequestWait)) return;
  channel.Request(control::kQuit);
}

void Engine::SetState(State state) {
  std::deque<std::shared_ptr<Task>> abandoned;
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_state = state;
    if (state == State::Ended) abandoned.swap(m_tasks);
  }
  for (auto& lpTask : abandoned) lpTask->done.set_value(false);
  m_stateChanged.notify_all();
}

void Engine::RunTasks() {
  std::deque<std::shared_ptr<Task>> tasks;
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    tasks.swap(m_tasks);
  }
  for (auto& lpTask : tasks) {
    lpTask->fn();
    lpTask->done.set_value(true);
  }
}

void Engine::WatchSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  // The program blocks these in every thread before any starts; here they become readable.
  m_hSignals = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (m_hSignals < 0) return;
  MessageLoop::Current()->WatchReadable(m_hSignals, [this] {
    signalfd_siginfo info{};
    while (::read(m_hSignals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    MessageLoop::Current()->PostQuitMessage(0);
  });
}

bool Engine::PreTranslate(const Message& msg) {
  if (msg.hwnd != 0) return false;
  switch (msg.message) {
    case WM_SERVICE_ENDED:
      OnServiceEnded(static_cast<uint64_t>(msg.wParam));
      break;
    case WM_ENGINE_TASK:
      RunTasks();
      break;
    case WM_SOCKET_EVENT:
      if (static_cast<int>(msg.wParam) == m_control.Fd()) m_control.OnEvent(SelectEvent(msg.lParam));
      break;
    case WM_TIMER:
      m_control.OnTimer(static_cast<uint32_t>(msg.wParam));
      break;
    default:
      break;  // WM_USER+4 (accepted and ignored) and anything else
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Services

bool Engine::StartService(ServiceId id, ThreadPriority priority) {
  ServiceSlot& slot = Slot(id);
  std::unique_ptr<ServiceThread> lpThread = m_catalog.m_makeService(id, m_tid.load(), kMaxDatagram);
  if (!lpThread) return false;
  if (!lpThread->Create()) {
    slot.m_snapshot.m_bStatus = lpThread->Status();
    return false;
  }
  lpThread->SetPriority(priority);
  slot.m_snapshot = ServiceStats();
  slot.m_lpThread = std::move(lpThread);
  slot.m_lpThread->Resume();
  return true;
}

void Engine::StartOrReloadService(ServiceId id) {
  ServiceSlot& slot = Slot(id);
  if (slot.m_lpThread) {
    slot.m_lpThread->PostReload();
  } else if (ReadRunService(id)) {
    StartService(id, ThreadPriority::Normal);
  }
}

void Engine::ReloadGeneral() {
  m_general = ReadGeneralConfig();
  SetProcessPriorityClass(m_general.m_nProcessPriority);
  Connections().SetLimit(m_general.m_nMaxConnections);
}

const ServiceStats& Engine::RefreshStats(ServiceId id) {
  ServiceSlot& slot = Slot(id);
  if (slot.m_lpThread && !slot.m_lpThread->Stopping()) slot.m_lpThread->ReadStats(&slot.m_snapshot);
  return slot.m_snapshot;
}

void Engine::StartMap(const MapRecord& record) {
  if (!m_catalog.m_makeMap) return;
  std::unique_ptr<ServiceThread> lpThread = m_catalog.m_makeMap(record, m_tid.load(), kMaxDatagram);
  if (!lpThread || !lpThread->Create()) return;
  lpThread->SetPriority(ThreadPriority::Normal);
  m_vMaps.push_back(MapSlot{record, std::move(lpThread), ServiceStats()});
  m_vMaps.back().m_lpThread->Resume();
}

void Engine::StopThreads(const std::vector<ServiceThread*>& vThreads) {
  for (ServiceThread* lpThread : vThreads) lpThread->Stop();
  for (ServiceThread* lpThread : vThreads) lpThread->Join();
}

void Engine::ReloadMaps() {
  std::vector<MapRecord> vToStart;
  std::vector<bool> vKept(m_vMaps.size(), false);
  for (const MapRecord& record : ReadMapRecords()) {
    bool bKept = false;
    for (size_t i = 0; i < m_vMaps.size() && !bKept; ++i) {
      const MapRecord& running = m_vMaps[i].m_record;
      if (!vKept[i] && SameMapSettings(running, record)) {
        vKept[i] = bKept = true;
      }
    }
    if (!bKept && record.m_bRunService) vToStart.push_back(record);
  }
  // The maps that go are stopped before the new ones start, so that a changed map can bind the
  // address its old self held.
  std::vector<ServiceThread*> vStopping;
  for (size_t i = m_vMaps.size(); i-- > 0;) {
    if (!vKept[i]) vStopping.push_back(m_vMaps[i].m_lpThread.get());
  }
  StopThreads(vStopping);
  for (size_t i = m_vMaps.size(); i-- > 0;) {
    if (!vKept[i]) m_vMaps.erase(m_vMaps.begin() + static_cast<std::ptrdiff_t>(i));
  }
  for (const MapRecord& record : vToStart) StartMap(record);
}

std::vector<MapStats> Engine::RefreshMapStats() {
  std::vector<MapStats> vStats;
  for (MapSlot& slot : m_vMaps) {
    if (!slot.m_lpThread->Stopping()) slot.m_lpThread->ReadStats(&slot.m_snapshot);
    vStats.push_back(MapStats{slot.m_record.m_dwBindIp, slot.m_record.m_wBindPort, slot.m_snapshot});
  }
  return vStats;
}

void Engine::OnServiceEnded(uint64_t qwEnded) {
  for (ServiceSlot& slot : m_aServices) {
    if (!slot.m_lpThread || slot.m_lpThread->UniqueId() != qwEnded) continue;
    slot.m_lpThread->SetPriority(ThreadPriority::Highest);
    slot.m_lpThread->Join();
    slot.m_snapshot.m_bStatus = slot.m_lpThread->Status();
    slot.m_lpThread.reset();
    return;
  }
  // A map that ends by itself leaves the list; the next reload starts it again.
  for (auto it = m_vMaps.begin(); it != m_vMaps.end(); ++it) {
    if (it->m_lpThread->UniqueId() != qwEnded) continue;
    it->m_lpThread->Join();
    m_vMaps.erase(it);
    return;
  }
  // A thread stopped by the engine meanwhile: gone already.
}

// ---------------------------------------------------------------------------------------------
// Stopping and the cross-thread entry points

void Engine::Stop() {
  SetCurrentThreadPriority(ThreadPriority::Highest);
  m_control.Close(*m_lpSink);
  std::vector<ServiceThread*> vStopping;
  for (const ServiceStartOrder& start : kServiceStartOrder) {
    if (ServiceThread* lpThread = Slot(start.m_id).m_lpThread.get()) vStopping.push_back(lpThread);
  }
  for (MapSlot& slot : m_vMaps) vStopping.push_back(slot.m_lpThread.get());
  StopThreads(vStopping);
  for (const ServiceStartOrder& start : kServiceStartOrder) Slot(start.m_id).m_lpThread.reset();
  m_vMaps.clear();
  if (m_hSignals >= 0) {
    MessageLoop::Current()->UnwatchReadable(m_hSignals);
    ::close(m_hSignals);
    m_hSignals = -1;
  }
  m_lpSink->Destroy();
  m_lpSink.reset();

  SetState(State::Ended);
  m_instance.Release();
}

bool Engine::Call(const std::function<void()>& fn) {
  auto lpTask = std::make_shared<Task>();
  lpTask->fn = fn;
  std::future<bool> done = lpTask->done.get_future();
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_state != State::Running) return false;
    m_tasks.push_back(lpTask);
  }
  MessageLoop::PostThreadMessage(m_tid.load(), WM_ENGINE_TASK);
  return done.get();
}

bool Engine::WaitUntilRunning(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(m_stateLock);
  m_stateChanged.wait_for(guard, timeout, [this] { return m_state != State::NotStarted; });
  return m_state == State::Running;
}

void Engine::RequestQuit() {
  const ThreadId tid = m_tid.load();
  if (tid) MessageLoop::PostThreadMessage(tid, WM_QUIT);
}

}  // namespace harbix
