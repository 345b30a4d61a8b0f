// A per-thread message loop over epoll: a thread message queue that any thread can post to,
// windows registered under handles, thread and window timers, and socket readiness delivered as
// messages with the re-enabling rules of asynchronous socket selection:
//
//  - FD_READ / FD_ACCEPT: one outstanding at a time; the next comes after the socket has been
//    read (recv, accept, or an available-bytes query that finds nothing) and data remains or
//    arrives.
//  - FD_WRITE: once when the socket is connected, then only after a send would have blocked (or
//    went out partly) and space has become available.
//  - FD_CONNECT: once, with the connect's error.
//  - FD_CLOSE: once, when the peer has closed and nothing remains to be read (at once on a
//    reset), so the last FD_READ comes first.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/Messages.h"
#include "platform/Socket.h"

namespace harbix {

class Window;

class MessageLoop {
 public:
  using Clock = std::function<uint64_t()>;  // milliseconds, monotonic

  // Binds the calling thread to the queue of tid (reserved with ReserveThreadId, so that
  // messages could be posted before the thread ran), or to a new queue when tid is 0. A loop
  // on a reserved queue cannot fail; a new queue can (descriptors exhausted), and so can a
  // second loop on one thread: such a loop is not Valid and must not be used.
  explicit MessageLoop(ThreadId tid = 0);
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // The loop of the calling thread, or null.
  static MessageLoop* Current();

  // A queue for a thread that does not run yet; posts to it wait until its loop starts.
  static ThreadId ReserveThreadId();
  // Drops a reserved queue whose thread never started.
  static void ReleaseThreadId(ThreadId tid);

  // From any thread. False when the thread (or the window's thread) is gone.
  static bool PostThreadMessage(ThreadId tid, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  static bool PostMessage(Hwnd hwnd, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  // Runs fn on the window's thread, in turn with its other messages, if the window still exists
  // then; otherwise fn is destroyed unrun. The one way to hand results to another thread.
  static bool PostTask(Hwnd hwnd, std::function<void()> fn);

  bool Valid() const { return m_tid != 0; }
  ThreadId Id() const { return m_tid; }

  // Waits for the next message; false for WM_QUIT (its wParam is the exit code).
  bool GetMessage(Message* pMsg);
  // The next message if one is ready now, without waiting.
  bool PeekMessage(Message* pMsg);
  // Hands a window message to its window; thread messages and messages for destroyed windows
  // or deselected sockets are dropped.
  void DispatchMessage(const Message& msg);
  void PostQuitMessage(int nExitCode);
  // GetMessage/DispatchMessage until WM_QUIT, offering each message to preTranslate first (true:
  // handled, do not dispatch). Returns the exit code.
  int Run(const std::function<bool(const Message&)>& preTranslate = {});
  // Handles every message that is ready now, without waiting; for tests that step a loop.
  size_t RunUntilIdle(const std::function<bool(const Message&)>& preTranslate = {});

  // Timers post WM_TIMER (wParam = id) every period; hwnd 0 makes a thread timer. Setting an
  // existing id restarts it with the new period.
  void SetTimer(Hwnd hwnd, uint32_t nId, uint32_t dwPeriodMs);
  void KillTimer(Hwnd hwnd, uint32_t nId);

  // Windows of this thread.
  Hwnd RegisterWindow(Window* lpWindow);
  void UnregisterWindow(Hwnd hwnd);
  Window* FindWindow(Hwnd hwnd) const;

  // Asynchronous selection: events of dwEvents are posted as `message` to hwnd. A mask of 0
  // stops them (events are still recorded, and selecting again delivers what is due).
  bool AsyncSelect(int hSocket, Hwnd hwnd, uint32_t message, uint32_t dwEvents, SocketKind kind = SocketKind::kUnknown);
  // Before a socket is closed (bClosing) or handed to another thread.
  void ForgetSocket(int hSocket, bool bClosing = true);
  // What the loop has seen of a selected socket's peer ending its stream (nullopt when the
  // socket is not watched here): it learns it from the same readiness that brings the events.
  std::optional<bool> PeerHungUp(int hSocket) const;
  // Called by the socket operations (platform/Socket) so that events are re-enabled.
  void NoteRecv(int hSocket, long nResult, size_t cbRequested, int nError, bool bStream);
  void NoteSend(int hSocket, long nResult, size_t cbRequested, int nError);
  void NoteAccept(int hSocket, bool bAccepted);
  void NoteAvailable(int hSocket, int nAvailable);
  void NoteConnect(int hSocket, bool bCompleted);

  // Takes over a socket that is being closed and was sent the end of its stream: what the peer
  // still sends is read and dropped until it closes too, dwMs have passed or it has sent a
  // megabyte, then the socket is closed. Closing a socket with unread bytes makes the kernel
  // send a reset, which can destroy what was sent just before; this way the peer reads
  // everything first. With LingerUntil::kAcknowledged the socket is closed as soon as the
  // peer has acknowledged all that was sent and nothing unread is waiting.
  void Linger(int hSocket, uint32_t dwMs, LingerUntil until);

  // Calls fn on this thread whenever fd becomes readable (level-triggered); for signalfd and
  // the like.
  void WatchReadable(int hFd, std::function<void()> fn);
  void UnwatchReadable(int hFd);

  uint64_t NowMs() const;
  void SetClock(Clock clock) { m_clock = std::move(clock); }
  // Milliseconds until the next timer is due, or -1 when none runs.
  int64_t NextTimerInMs() const;

 public:
  struct Inbox;  // a thread's queue for messages from other threads (defined in the source)

 private:
  // What is known of one selected socket. Readiness arrives edge-triggered, so the loop keeps
  // the level itself and posts what is due from it.
  struct SocketState {
    Hwnd hwnd = 0;
    uint32_t message = 0;
    uint32_t dwEvents = 0;
    uint32_t dwGen = 0;
    bool bInEpoll = false;
    bool bIdle = false;         // a stream socket neither connected nor listening yet
    bool bReadable = false;     // data (or the end of the stream) may be waiting
    bool bReadPosted = false;   // an FD_READ/FD_ACCEPT is out and not yet re-enabled
    bool bWritable = false;
    bool bWriteArmed = true;    // the next writability is reported as FD_WRITE
    bool bConnecting = false;
    bool bConnectDue = false;   // FD_CONNECT is to be posted, with dwConnectError
    bool bConnectFailed = false;
    uint32_t dwConnectError = 0;
    bool bHup = false;          // the peer closed (or the connection broke)
    bool bClosePosted = false;
    uint32_t dwCloseError = 0;
    bool bLingering = false;    // handed over to be closed: what comes is read and dropped
  };
  struct TimerKey {
    Hwnd hwnd;
    uint32_t nId;
    bool operator<(const TimerKey& other) const {
      return hwnd != other.hwnd ? hwnd < other.hwnd : nId < other.nId;
    }
  };
  struct Timer {
    uint32_t dwPeriodMs;
    std::multimap<uint64_t, TimerKey>::iterator itDue;
  };

  static std::shared_ptr<Inbox> FindInbox(ThreadId tid);
  static bool PostToInbox(ThreadId tid, const Message& msg);

  bool PopMessage(Message* pMsg);
  void Poll(bool bWait);
  // Moves what other threads posted into the queue; false when there was nothing.
  bool DrainInbox();
  void HandleSocketEvents(uint64_t qwData, uint32_t dwEpollEvents);
  void Evaluate(int hSocket, SocketState& state);
  static void Unpost(SocketState& state, uint32_t dwEvent);
  void RunRechecks();
  void FireDueTimers();
  void PostLocal(const Message& msg) { m_queue.push_back(msg); }
  void DiscardLingering(int hSocket);
  void CloseLingering(int hSocket);
  static bool AllAcknowledged(int hSocket);
  SocketState& StateOf(int hSocket, SocketKind kind = SocketKind::kUnknown);
  static bool IsIdleStream(int hSocket);

  ThreadId m_tid = 0;
  std::shared_ptr<Inbox> m_lpInbox;
  int m_hEpoll = -1;
  std::deque<Message> m_queue;
  bool m_bQuit = false;
  int m_nExitCode = 0;

  std::unordered_map<Hwnd, Window*> m_windows;
  uint32_t m_dwNextWindow = 1;

  std::unordered_map<int, SocketState> m_sockets;
  std::vector<int> m_vRecheck;
  uint32_t m_dwNextSelectGen = 1;

  std::unordered_map<int, std::function<void()>> m_watches;

  std::multimap<uint64_t, int> m_lingerDeadlines;
  struct Lingering {
    std::multimap<uint64_t, int>::iterator itDeadline;
    uint64_t cbDropped = 0;
    LingerUntil until = LingerUntil::kPeerEnd;
  };
  std::unordered_map<int, Lingering> m_lingering;
  std::vector<int> m_vLingerRecheck;

  std::multimap<uint64_t, TimerKey> m_dueTimers;
  std::map<TimerKey, Timer> m_timers;

  Clock m_clock;
};

}  // namespace harbix
