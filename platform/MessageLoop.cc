#include "platform/MessageLoop.h"

#include <sys/epoll.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "platform/Window.h"

namespace harbix {

// A thread's queue and its poller, made together when the thread's id is reserved: that happens
// on the thread that creates the new one, which can give up cleanly when descriptors run out,
// while the new thread itself then has nothing left to fail on.
struct MessageLoop::Inbox {
  Inbox();
  ~Inbox() {
    if (hEvent >= 0) ::close(hEvent);
    if (hEpoll >= 0) ::close(hEpoll);
  }
  bool Usable() const { return hEvent >= 0 && hEpoll >= 0; }
  // The poller passes to the loop that runs on it.
  int TakeEpoll() {
    const int h = hEpoll;
    hEpoll = -1;
    return h;
  }
  std::mutex lock;
  std::vector<Message> vMessages;
  bool bClosed = false;
  int hEvent;
  int hEpoll;
  std::atomic<bool> bSignalled{false};  // an eventfd write is pending; saves redundant writes
  // The loop is about to wait (or waits) in epoll: only then does a post need to wake it.
  std::atomic<bool> bSleeping{false};
  // Something was posted since the loop last looked; lets the loop look often without locking.
  std::atomic<bool> bPending{false};
};

namespace {

// epoll tags: sockets carry (selection generation << 32 | fd); the two kinds below have the top
// bit set, which a generation (counted from 1, far below 2^31 in practice) never has.
constexpr uint64_t kSpecialTag = 1ULL << 63;
constexpr uint64_t kInboxTag = kSpecialTag;
constexpr uint64_t kWatchTag = kSpecialTag | (1ULL << 62);
// Sockets being closed that one loop keeps at most; past it, one closes at once.
constexpr size_t kMaxLingering = 4096;
// Reads of a lingering socket per turn: a peer that floods cannot hold the thread (what is
// left is read at the next turn).
constexpr int kLingerReadsPerTurn = 64;
// What a lingering peer may send before it is closed anyway. The peers that lingering is for
// finish what they had on its way (a request, the rest of a small upload); one that keeps
// streaming (a download the client gave up) is not reading, and reading it at full speed until
// the deadline would cost the upstream link and the CPU for nothing.
constexpr uint64_t kLingerBytes = 1 << 20;
constexpr int kMaxEventsPerWait = 64;

struct InboxRegistry {
  std::shared_mutex lock;
  std::unordered_map<ThreadId, std::shared_ptr<MessageLoop::Inbox>> inboxes;
  std::atomic<ThreadId> nextId{1};
};

InboxRegistry& Registry() {
  static InboxRegistry* lpRegistry = new InboxRegistry();  // outlives every thread
  return *lpRegistry;
}

thread_local MessageLoop* t_lpCurrent = nullptr;

}  // namespace

MessageLoop::Inbox::Inbox() : hEvent(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), hEpoll(::epoll_create1(EPOLL_CLOEXEC)) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kInboxTag;
  if (Usable() && ::epoll_ctl(hEpoll, EPOLL_CTL_ADD, hEvent, &event) != 0) {
    ::close(hEpoll);
    hEpoll = -1;
  }
}

namespace {

uint64_t SteadyMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace

ThreadId MessageLoop::ReserveThreadId() {
  InboxRegistry& registry = Registry();
  auto lpInbox = std::make_shared<Inbox>();
  if (!lpInbox->Usable()) return 0;
  ThreadId tid = registry.nextId.fetch_add(1);
  if (tid == 0) tid = registry.nextId.fetch_add(1);
  std::unique_lock<std::shared_mutex> guard(registry.lock);
  registry.inboxes.emplace(tid, std::move(lpInbox));
  return tid;
}

void MessageLoop::ReleaseThreadId(ThreadId tid) {
  InboxRegistry& registry = Registry();
  std::shared_ptr<Inbox> lpInbox;
  {
    std::unique_lock<std::shared_mutex> guard(registry.lock);
    auto it = registry.inboxes.find(tid);
    if (it == registry.inboxes.end()) return;
    lpInbox = std::move(it->second);
    registry.inboxes.erase(it);
  }
  std::lock_guard<std::mutex> guard(lpInbox->lock);
  lpInbox->bClosed = true;
}

std::shared_ptr<MessageLoop::Inbox> MessageLoop::FindInbox(ThreadId tid) {
  InboxRegistry& registry = Registry();
  std::shared_lock<std::shared_mutex> guard(registry.lock);
  auto it = registry.inboxes.find(tid);
  return it == registry.inboxes.end() ? nullptr : it->second;
}

MessageLoop::MessageLoop(ThreadId tid) {
  if (t_lpCurrent) return;  // a thread has one loop; a second one stays unusable
  if (tid == 0) tid = ReserveThreadId();
  m_lpInbox = tid ? FindInbox(tid) : nullptr;
  if (!m_lpInbox) return;
  m_hEpoll = m_lpInbox->TakeEpoll();
  if (m_hEpoll < 0) {  // taken by a loop before: not this thread's queue
    m_lpInbox.reset();
    return;
  }
  m_tid = tid;
  t_lpCurrent = this;
  // Messages posted before the thread ran are waiting already.
  DrainInbox();
}

MessageLoop::~MessageLoop() {
  if (!Valid()) return;
  while (!m_lingering.empty()) CloseLingering(m_lingering.begin()->first);
  ReleaseThreadId(m_tid);
  ::close(m_hEpoll);
  t_lpCurrent = nullptr;
}

MessageLoop* MessageLoop::Current() { return t_lpCurrent; }

bool MessageLoop::PostToInbox(ThreadId tid, const Message& msg) {
  if (t_lpCurrent && t_lpCurrent->m_tid == tid) {
    t_lpCurrent->PostLocal(msg);
    return true;
  }
  std::shared_ptr<Inbox> lpInbox = FindInbox(tid);
  if (!lpInbox) return false;
  {
    std::lock_guard<std::mutex> guard(lpInbox->lock);
    if (lpInbox->bClosed) return false;
    lpInbox->vMessages.push_back(msg);
    lpInbox->bPending.store(true);
  }
  // The loop sets bSleeping before it looks at the inbox one last time, and this reads it after
  // the push: under the inbox lock, either the loop sees the message or this sees it sleeping.
  if (lpInbox->bSleeping.load() && !lpInbox->bSignalled.exchange(true)) {
    const uint64_t qwOne = 1;
    [[maybe_unused]] ssize_t n = ::write(lpInbox->hEvent, &qwOne, sizeof qwOne);
  }
  return true;
}

bool MessageLoop::PostThreadMessage(ThreadId tid, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return PostToInbox(tid, Message{0, message, wParam, lParam, 0});
}

bool MessageLoop::PostMessage(Hwnd hwnd, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (hwnd == 0) return false;
  return PostToInbox(ThreadOfWindow(hwnd), Message{hwnd, message, wParam, lParam, 0});
}

bool MessageLoop::PostTask(Hwnd hwnd, std::function<void()> fn) {
  if (hwnd == 0) return false;
  Message msg{hwnd, WM_TASK, 0, 0, 0};
  msg.lpTask = std::make_shared<std::function<void()>>(std::move(fn));
  return PostToInbox(ThreadOfWindow(hwnd), msg);
}

bool MessageLoop::DrainInbox() {
  if (!m_lpInbox->bPending.load()) return false;
  std::vector<Message> vArrived;
  {
    std::lock_guard<std::mutex> guard(m_lpInbox->lock);
    m_lpInbox->bPending.store(false);
    if (m_lpInbox->vMessages.empty()) return false;
    vArrived.swap(m_lpInbox->vMessages);
  }
  for (const Message& msg : vArrived) m_queue.push_back(msg);
  return true;
}

bool MessageLoop::PopMessage(Message* pMsg) {
  // Posts from other threads join the queue between any two messages, so a steady stream of
  // socket events cannot hold them back.
  DrainInbox();
  RunRechecks();
  if (m_queue.empty()) return false;
  *pMsg = m_queue.front();
  m_queue.pop_front();
  return true;
}

bool MessageLoop::GetMessage(Message* pMsg) {
  while (!PopMessage(pMsg)) Poll(true);
  return pMsg->message != WM_QUIT;
}

bool MessageLoop::PeekMessage(Message* pMsg) {
  if (PopMessage(pMsg)) return true;
  Poll(false);
  return PopMessage(pMsg);
}

void MessageLoop::PostQuitMessage(int nExitCode) {
  PostLocal(Message{0, WM_QUIT, static_cast<uintptr_t>(nExitCode), 0, 0});
}

int MessageLoop::Run(const std::function<bool(const Message&)>& preTranslate) {
  Message msg;
  while (GetMessage(&msg)) {
    if (!preTranslate || !preTranslate(msg)) DispatchMessage(msg);
  }
  return static_cast<int>(msg.wParam);
}

size_t MessageLoop::RunUntilIdle(const std::function<bool(const Message&)>& preTranslate) {
  size_t nHandled = 0;
  while (true) {
    Poll(false);
    Message msg;
    if (!PopMessage(&msg)) return nHandled;
    do {
      if (msg.message == WM_QUIT) {
        m_queue.push_front(msg);  // left for the GetMessage that ends the loop
        return nHandled;
      }
      if (!preTranslate || !preTranslate(msg)) DispatchMessage(msg);
      ++nHandled;
    } while (PopMessage(&msg));
  }
}

void MessageLoop::DispatchMessage(const Message& msg) {
  if (msg.hwnd == 0) return;
  if (msg.dwSelectGen != 0) {
    auto it = m_sockets.find(static_cast<int>(msg.wParam));
    if (it == m_sockets.end() || it->second.dwGen != msg.dwSelectGen) return;  // closed since
    if (!(it->second.dwEvents & SelectEvent(msg.lParam))) {
      // Deselected since: the event stays recorded for a later selection.
      Unpost(it->second, SelectEvent(msg.lParam));
      return;
    }
  }
  Window* lpWindow = FindWindow(msg.hwnd);
  if (!lpWindow) return;
  if (msg.message == WM_TASK) {
    if (msg.lpTask && *msg.lpTask) (*msg.lpTask)();
    return;
  }
  lpWindow->HandleMessage(msg.message, msg.wParam, msg.lParam);
}

void MessageLoop::Poll(bool bWait) {
  // Posts from other threads are picked up here while the loop is busy; they wake it only when
  // it sleeps.
  int nTimeout = 0;
  if (DrainInbox()) bWait = false;
  if (bWait && m_queue.empty() && m_vRecheck.empty() && m_vLingerRecheck.empty()) {
    const int64_t nNext = NextTimerInMs();
    nTimeout = nNext < 0 ? -1 : static_cast<int>(std::min<int64_t>(nNext, 60 * 60 * 1000));
  }
  if (nTimeout != 0) {
    m_lpInbox->bSleeping.store(true);
    if (DrainInbox()) nTimeout = 0;
  }
  epoll_event events[kMaxEventsPerWait];
  const int nEvents = ::epoll_wait(m_hEpoll, events, kMaxEventsPerWait, nTimeout);
  m_lpInbox->bSleeping.store(false);
  for (int i = 0; i < nEvents; ++i) {
    const uint64_t qwTag = events[i].data.u64;
    if (qwTag == kInboxTag) {
      uint64_t qwCount;
      [[maybe_unused]] ssize_t n = ::read(m_lpInbox->hEvent, &qwCount, sizeof qwCount);
      m_lpInbox->bSignalled.store(false);
      DrainInbox();
    } else if ((qwTag & kWatchTag) == kWatchTag) {
      auto it = m_watches.find(static_cast<int>(qwTag & 0xFFFFFFFF));
      if (it != m_watches.end()) {
        std::function<void()> fn = it->second;  // the callback may unwatch itself
        fn();
      }
    } else {
      HandleSocketEvents(qwTag, events[i].events);
    }
  }
  FireDueTimers();
}

// ---------------------------------------------------------------------------------------------
// Timers

uint64_t MessageLoop::NowMs() const { return m_clock ? m_clock() : SteadyMs(); }

int64_t MessageLoop::NextTimerInMs() const {
  if (m_dueTimers.empty() && m_lingerDeadlines.empty()) return -1;
  uint64_t qwDue = UINT64_MAX;
  if (!m_dueTimers.empty()) qwDue = m_dueTimers.begin()->first;
  if (!m_lingerDeadlines.empty()) qwDue = std::min(qwDue, m_lingerDeadlines.begin()->first);
  const uint64_t qwNow = NowMs();
  return qwDue <= qwNow ? 0 : static_cast<int64_t>(qwDue - qwNow);
}

void MessageLoop::SetTimer(Hwnd hwnd, uint32_t nId, uint32_t dwPeriodMs) {
  KillTimer(hwnd, nId);
  const uint32_t dwPeriod = dwPeriodMs ? dwPeriodMs : 1;  // a zero period would spin
  const TimerKey key{hwnd, nId};
  auto itDue = m_dueTimers.emplace(NowMs() + dwPeriod, key);
  m_timers.emplace(key, Timer{dwPeriod, itDue});
}

void MessageLoop::KillTimer(Hwnd hwnd, uint32_t nId) {
  auto it = m_timers.find(TimerKey{hwnd, nId});
  if (it == m_timers.end()) return;
  m_dueTimers.erase(it->second.itDue);
  m_timers.erase(it);
}

void MessageLoop::FireDueTimers() {
  if (m_dueTimers.empty() && m_lingerDeadlines.empty()) return;
  const uint64_t qwNow = NowMs();
  while (!m_lingerDeadlines.empty() && m_lingerDeadlines.begin()->first <= qwNow) {
    CloseLingering(m_lingerDeadlines.begin()->second);
  }
  while (!m_dueTimers.empty() && m_dueTimers.begin()->first <= qwNow) {
    const TimerKey key = m_dueTimers.begin()->second;
    m_dueTimers.erase(m_dueTimers.begin());
    Timer& timer = m_timers.at(key);
    // The next period counts from now, so a loop that was held up gets one tick, not a burst.
    timer.itDue = m_dueTimers.emplace(qwNow + timer.dwPeriodMs, key);
    PostLocal(Message{key.hwnd, WM_TIMER, key.nId, 0, 0});
  }
}

// ---------------------------------------------------------------------------------------------
// Windows

Hwnd MessageLoop::RegisterWindow(Window* lpWindow) {
  if (m_dwNextWindow == 0) m_dwNextWindow = 1;
  const Hwnd hwnd = (static_cast<Hwnd>(m_tid) << 32) | m_dwNextWindow++;
  m_windows.emplace(hwnd, lpWindow);
  return hwnd;
}

void MessageLoop::UnregisterWindow(Hwnd hwnd) {
  m_windows.erase(hwnd);
  for (auto it = m_timers.begin(); it != m_timers.end();) {
    if (it->first.hwnd == hwnd) {
      m_dueTimers.erase(it->second.itDue);
      it = m_timers.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [hSocket, state] : m_sockets) {
    if (state.hwnd == hwnd) state.dwEvents = 0;
  }
}

Window* MessageLoop::FindWindow(Hwnd hwnd) const {
  auto it = m_windows.find(hwnd);
  return it == m_windows.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------------------------------------
// Sockets

MessageLoop::SocketState& MessageLoop::StateOf(int hSocket, SocketKind kind) {
  auto it = m_sockets.find(hSocket);
  if (it != m_sockets.end()) return it->second;
  SocketState& state = m_sockets[hSocket];
  state.dwGen = m_dwNextSelectGen++;
  if (m_dwNextSelectGen >= (1u << 31)) m_dwNextSelectGen = 1;
  state.bIdle = kind == SocketKind::kUnknown ? IsIdleStream(hSocket) : kind == SocketKind::kStreamUnconnected;
  return state;
}

// An unconnected stream socket reports itself writable and hung up; none of that means
// anything until it connects or listens.
bool MessageLoop::IsIdleStream(int hSocket) {
  int nType = 0;
  int nListening = 0;
  socklen_t cbOption = sizeof nType;
  ::getsockopt(hSocket, SOL_SOCKET, SO_TYPE, &nType, &cbOption);
  cbOption = sizeof nListening;
  ::getsockopt(hSocket, SOL_SOCKET, SO_ACCEPTCONN, &nListening, &cbOption);
  if (nType != SOCK_STREAM || nListening) return false;
  sockaddr_storage peer{};
  socklen_t cbPeer = sizeof peer;
  return ::getpeername(hSocket, reinterpret_cast<sockaddr*>(&peer), &cbPeer) != 0 && errno == ENOTCONN;
}

bool MessageLoop::AsyncSelect(int hSocket, Hwnd hwnd, uint32_t message, uint32_t dwEvents, SocketKind kind) {
  if (hSocket < 0) {
    errno = EBADF;
    return false;
  }
  SocketState& state = StateOf(hSocket, kind);
  state.hwnd = hwnd;
  state.message = message;
  state.dwEvents = dwEvents & FD_ALL_EVENTS;
  if (!state.bInEpoll && state.dwEvents) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = (static_cast<uint64_t>(state.dwGen) << 32) | static_cast<uint32_t>(hSocket);
    if (::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, hSocket, &event) != 0) return false;
    state.bInEpoll = true;
  }
  Evaluate(hSocket, state);
  return true;
}

void MessageLoop::ForgetSocket(int hSocket, bool bClosing) {
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end()) return;
  // Closing the (never duplicated) descriptor takes it out of epoll anyway.
  if (it->second.bInEpoll && !bClosing) ::epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, hSocket, nullptr);
  m_sockets.erase(it);
}

void MessageLoop::HandleSocketEvents(uint64_t qwTag, uint32_t dwEpollEvents) {
  const int hSocket = static_cast<int>(qwTag & 0xFFFFFFFF);
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end() || it->second.dwGen != static_cast<uint32_t>(qwTag >> 32)) return;
  SocketState& state = it->second;
  if (state.bLingering) {
    DiscardLingering(hSocket);
    return;
  }
  // A socket selected before it listened: the first caller is what tells.
  if (state.bIdle && (!(dwEpollEvents & EPOLLIN) || (state.bIdle = IsIdleStream(hSocket)))) return;
  if (state.bConnecting) {
    if (!(dwEpollEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
    int nError = 0;
    socklen_t cbError = sizeof nError;
    ::getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &cbError);
    state.bConnecting = false;
    state.bConnectDue = true;
    state.dwConnectError = static_cast<uint32_t>(nError);
    state.bConnectFailed = nError != 0;
  }
  if (state.bConnectFailed) {
    Evaluate(hSocket, state);
    return;
  }
  if (dwEpollEvents & EPOLLIN) state.bReadable = true;
  if (dwEpollEvents & EPOLLOUT) state.bWritable = true;
  if (dwEpollEvents & (EPOLLRDHUP | EPOLLHUP)) {
    state.bHup = true;
    state.bReadable = true;  // the end of the stream is there to be read
  }
  if (dwEpollEvents & EPOLLERR) {
    // The connection broke. Its error is left on the socket, not read here (reading it clears
    // it): the bytes that came before the break are still read first, and then the read that
    // fails says how it broke, instead of passing for a clean end of the stream.
    state.bHup = true;
    state.dwCloseError = ECONNRESET;
  }
  Evaluate(hSocket, state);
}

void MessageLoop::Evaluate(int hSocket, SocketState& state) {
  const uint32_t dwEvents = state.dwEvents;
  auto post = [&](uint32_t dwEvent, uint32_t dwError) {
    PostLocal(Message{state.hwnd, state.message, static_cast<uintptr_t>(hSocket), MakeSelectLParam(dwEvent, dwError),
                      state.dwGen});
  };
  if (state.bConnectDue && (dwEvents & FD_CONNECT)) {
    state.bConnectDue = false;
    post(FD_CONNECT, state.dwConnectError);
  }
  if (state.bIdle || state.bConnecting || state.bConnectFailed) return;
  if ((dwEvents & (FD_READ | FD_ACCEPT)) && state.bReadable && !state.bReadPosted) {
    state.bReadPosted = true;
    post((dwEvents & FD_ACCEPT) ? FD_ACCEPT : FD_READ, 0);
  }
  if ((dwEvents & FD_WRITE) && state.bWritable && state.bWriteArmed) {
    state.bWriteArmed = false;
    post(FD_WRITE, 0);
  }
  // The close comes after the last read, unless the connection broke.
  if ((dwEvents & FD_CLOSE) && state.bHup && !state.bClosePosted &&
      (state.dwCloseError || !(dwEvents & FD_READ) || !state.bReadable)) {
    state.bClosePosted = true;
    post(FD_CLOSE, state.dwCloseError);
  }
}

void MessageLoop::Unpost(SocketState& state, uint32_t dwEvent) {
  switch (dwEvent) {
    case FD_READ:
    case FD_ACCEPT: state.bReadPosted = false; break;
    case FD_WRITE: state.bWriteArmed = true; break;
    case FD_CLOSE: state.bClosePosted = false; break;
    case FD_CONNECT: state.bConnectDue = true; break;
    default: break;
  }
}

void MessageLoop::RunRechecks() {
  if (!m_vLingerRecheck.empty()) {
    std::vector<int> vLingering;
    vLingering.swap(m_vLingerRecheck);
    for (int hSocket : vLingering) DiscardLingering(hSocket);
  }
  if (m_vRecheck.empty()) return;
  std::vector<int> vSockets;
  vSockets.swap(m_vRecheck);
  for (int hSocket : vSockets) {
    auto it = m_sockets.find(hSocket);
    if (it != m_sockets.end()) Evaluate(hSocket, it->second);
  }
}

std::optional<bool> MessageLoop::PeerHungUp(int hSocket) const {
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end() || !it->second.bInEpoll) return std::nullopt;
  return it->second.bHup;
}

void MessageLoop::NoteRecv(int hSocket, long nResult, size_t cbRequested, int nError, bool bStream) {
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end()) return;
  SocketState& state = it->second;
  state.bReadPosted = false;
  if (nResult < 0) {
    if (WouldBlock(nError)) state.bReadable = false;
  } else if (bStream && static_cast<size_t>(nResult) < cbRequested) {
    // A stream read returns what is there; a short one (or the end of the stream) emptied it,
    // and whatever arrives later raises a new edge.
    state.bReadable = false;
  }
  m_vRecheck.push_back(hSocket);
}

void MessageLoop::NoteSend(int hSocket, long nResult, size_t cbRequested, int nError) {
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end()) return;
  const bool bBlocked = nResult < 0 ? WouldBlock(nError) : static_cast<size_t>(nResult) < cbRequested;
  if (bBlocked) {
    it->second.bWritable = false;
    it->second.bWriteArmed = true;
  }
}

void MessageLoop::NoteAccept(int hSocket, bool bAccepted) {
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end()) return;
  it->second.bReadPosted = false;
  if (!bAccepted) it->second.bReadable = false;
  m_vRecheck.push_back(hSocket);
}

void MessageLoop::NoteAvailable(int hSocket, int nAvailable) {
  if (nAvailable != 0) return;
  auto it = m_sockets.find(hSocket);
  if (it == m_sockets.end()) return;
  it->second.bReadable = false;
  it->second.bReadPosted = false;
  m_vRecheck.push_back(hSocket);
}

void MessageLoop::NoteConnect(int hSocket, bool bCompleted) {
  SocketState& state = StateOf(hSocket, SocketKind::kStreamConnected);
  state.bIdle = false;
  state.bReadable = state.bWritable = state.bHup = state.bClosePosted = false;
  state.bReadPosted = false;
  state.bWriteArmed = true;
  state.dwCloseError = 0;
  state.bConnecting = !bCompleted;
  if (bCompleted) {
    state.bConnectDue = true;
    state.dwConnectError = 0;
    state.bWritable = true;
    m_vRecheck.push_back(hSocket);
  }
}

// ---------------------------------------------------------------------------------------------
// Sockets being closed

void MessageLoop::Linger(int hSocket, uint32_t dwMs, LingerUntil until) {
  if (m_lingering.size() >= kMaxLingering) {
    ForgetSocket(hSocket);
    ::close(hSocket);
    return;
  }
  // The socket keeps its place in epoll (no system call for the change of hands); it only
  // stops raising events.
  SocketState& state = StateOf(hSocket, SocketKind::kStreamConnected);
  state.dwEvents = 0;
  state.bLingering = true;
  if (!state.bInEpoll) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = (static_cast<uint64_t>(state.dwGen) << 32) | static_cast<uint32_t>(hSocket);
    if (::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, hSocket, &event) != 0) {
      ForgetSocket(hSocket);
      ::close(hSocket);
      return;
    }
    state.bInEpoll = true;
  }
  const auto itDeadline = m_lingerDeadlines.emplace(NowMs() + dwMs, hSocket);
  m_lingering.emplace(hSocket, Lingering{itDeadline, 0, until});
  DiscardLingering(hSocket);
}

void MessageLoop::DiscardLingering(int hSocket) {
  auto it = m_lingering.find(hSocket);
  if (it == m_lingering.end()) return;
  char scratch[4096];
  for (int nRead = 0; nRead < kLingerReadsPerTurn; ++nRead) {
    const long n = ::recv(hSocket, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0 && (it->second.cbDropped += static_cast<uint64_t>(n)) < kLingerBytes) continue;
    if (n < 0 && WouldBlock(errno)) {
      if (it->second.until == LingerUntil::kAcknowledged && AllAcknowledged(hSocket)) CloseLingering(hSocket);
      return;  // otherwise the next readiness comes as an edge
    }
    // The peer has closed or the connection broke (closing loses nothing now), or the peer
    // streams on and is not reading.
    CloseLingering(hSocket);
    return;
  }
  m_vLingerRecheck.push_back(hSocket);  // more waits, and no edge will say so
}

bool MessageLoop::AllAcknowledged(int hSocket) {
  // The count includes the end of the stream, which takes a sequence number of its own and
  // whose acknowledgment the peer may delay until it closes too: one byte still counts as all.
  int cbUnacknowledged = 0;
  return ::ioctl(hSocket, SIOCOUTQ, &cbUnacknowledged) == 0 && cbUnacknowledged <= 1;
}

void MessageLoop::CloseLingering(int hSocket) {
  auto it = m_lingering.find(hSocket);
  if (it == m_lingering.end()) return;
  m_lingerDeadlines.erase(it->second.itDeadline);
  m_lingering.erase(it);
  m_sockets.erase(hSocket);
  ::close(hSocket);
}

// ---------------------------------------------------------------------------------------------
// Other descriptors

void MessageLoop::WatchReadable(int hFd, std::function<void()> fn) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWatchTag | static_cast<uint32_t>(hFd);
  if (::epoll_ctl(m_hEpoll, EPOLL_CTL_ADD, hFd, &event) == 0) m_watches[hFd] = std::move(fn);
}

void MessageLoop::UnwatchReadable(int hFd) {
  if (m_watches.erase(hFd)) ::epoll_ctl(m_hEpoll, EPOLL_CTL_DEL, hFd, nullptr);
}

}  // namespace harbix
