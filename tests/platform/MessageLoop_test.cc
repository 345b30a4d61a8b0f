#include "platform/MessageLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "platform/Window.h"

namespace harbix {
namespace {

struct Event {
  uint32_t message;
  uintptr_t wParam;
  uint32_t dwEvent;
  uint32_t dwError;
};

// Records what reaches it; an optional reaction runs for each message.
class RecordingWindow : public Window {
 public:
  std::vector<Event> m_vEvents;
  std::function<void(const Event&)> m_onEvent;

  std::vector<uint32_t> SocketEvents() const {
    std::vector<uint32_t> v;
    for (const Event& e : m_vEvents) {
      if (e.message == WM_SOCKET_EVENT) v.push_back(e.dwEvent);
    }
    return v;
  }
  size_t Count(uint32_t dwEvent) const {
    size_t n = 0;
    for (uint32_t e : SocketEvents()) n += e == dwEvent;
    return n;
  }

 protected:
  void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    Event e{message, wParam, SelectEvent(lParam), SelectError(lParam)};
    m_vEvents.push_back(e);
    if (m_onEvent) m_onEvent(e);
  }
};

// A loop on the test's own thread, stepped with RunUntilIdle, on a clock the test moves.
class LoopTest : public ::testing::Test {
 protected:
  LoopTest() {
    m_loop.SetClock([this] { return m_qwNow; });
    m_window.Create();
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    m_local = Socket(fds[0]);
    m_hPeer = fds[1];
  }
  ~LoopTest() override {
    m_window.Destroy();
    if (m_hPeer >= 0) ::close(m_hPeer);
  }
  void PeerWrite(const std::string& sData) { ASSERT_EQ(::write(m_hPeer, sData.data(), sData.size()), static_cast<ssize_t>(sData.size())); }
  void PeerClose() {
    ::close(m_hPeer);
    m_hPeer = -1;
  }
  size_t Step() { return m_loop.RunUntilIdle(); }

  uint64_t m_qwNow = 1000000;
  MessageLoop m_loop;
  RecordingWindow m_window;
  Socket m_local;
  int m_hPeer = -1;
};

TEST_F(LoopTest, ConnectedSocketGetsOneWriteThenReadsInOrder) {
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_READ | FD_WRITE | FD_CLOSE));
  Step();
  EXPECT_EQ(m_window.SocketEvents(), std::vector<uint32_t>{FD_WRITE});
  PeerWrite("abc");
  PeerWrite("def");  // more data before the read: still one FD_READ outstanding
  Step();
  EXPECT_EQ(m_window.SocketEvents(), (std::vector<uint32_t>{FD_WRITE, FD_READ}));
  EXPECT_EQ(m_window.m_vEvents.back().wParam, static_cast<uintptr_t>(m_local.Fd()));
}

TEST_F(LoopTest, PartialReadReEnablesReadWhileDataRemains) {
  std::string sReceived;
  m_window.m_onEvent = [&](const Event& e) {
    if (e.dwEvent != FD_READ) return;
    char buffer[10];
    long n = m_local.Recv(buffer, sizeof buffer);  // one small read per event
    if (n > 0) sReceived.append(buffer, static_cast<size_t>(n));
  };
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_READ));
  PeerWrite(std::string(95, 'x'));
  Step();
  EXPECT_EQ(sReceived.size(), 95u);
  EXPECT_EQ(m_window.Count(FD_READ), 10u);
  // Nothing left: no further FD_READ until data arrives.
  Step();
  EXPECT_EQ(m_window.Count(FD_READ), 10u);
  PeerWrite("y");
  Step();
  EXPECT_EQ(m_window.Count(FD_READ), 11u);
}

TEST_F(LoopTest, UnreadDataRaisesNoSecondRead) {
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_READ));
  PeerWrite("abc");
  Step();
  PeerWrite("def");
  Step();
  EXPECT_EQ(m_window.Count(FD_READ), 1u) << "not re-enabled before a receive";
  // An available-bytes query that finds data does not re-enable either; a receive does.
  EXPECT_EQ(m_local.Available(), 6);
  Step();
  EXPECT_EQ(m_window.Count(FD_READ), 1u);
  char buffer[64];
  EXPECT_EQ(m_local.Recv(buffer, 2), 2);
  Step();
  EXPECT_EQ(m_window.Count(FD_READ), 2u);
}

TEST_F(LoopTest, WriteComesOnlyAfterWouldBlock) {
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_WRITE));
  Step();
  ASSERT_EQ(m_window.Count(FD_WRITE), 1u);
  const std::string sBlock(4096, 'z');
  EXPECT_EQ(m_local.Send(sBlock.data(), sBlock.size()), 4096);
  Step();
  EXPECT_EQ(m_window.Count(FD_WRITE), 1u) << "a send that went through raises nothing";
  long n;
  while ((n = m_local.Send(sBlock.data(), sBlock.size())) > 0) {
  }
  EXPECT_EQ(errno, EAGAIN);
  Step();
  EXPECT_EQ(m_window.Count(FD_WRITE), 1u) << "still full";
  std::vector<char> sink(1 << 20);
  while (::read(m_hPeer, sink.data(), sink.size()) > 0) {
  }
  Step();
  EXPECT_EQ(m_window.Count(FD_WRITE), 2u);
  Step();
  EXPECT_EQ(m_window.Count(FD_WRITE), 2u);
}

TEST_F(LoopTest, CloseComesAfterTheLastRead) {
  std::string sReceived;
  m_window.m_onEvent = [&](const Event& e) {
    if (e.dwEvent != FD_READ) return;
    char buffer[4];
    int nWaiting;
    while ((nWaiting = m_local.Available()) > 0) {
      long n = m_local.Recv(buffer, std::min<size_t>(sizeof buffer, static_cast<size_t>(nWaiting)));
      if (n <= 0) break;
      sReceived.append(buffer, static_cast<size_t>(n));
    }
  };
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_READ | FD_CLOSE));
  PeerWrite("last words");
  PeerClose();
  Step();
  EXPECT_EQ(m_window.SocketEvents(), (std::vector<uint32_t>{FD_READ, FD_CLOSE}));
  EXPECT_EQ(sReceived, "last words");
  EXPECT_EQ(m_window.m_vEvents.back().dwError, 0u);
}

TEST_F(LoopTest, CloseMayArriveWithDataStillReadable) {
  // Without FD_READ selected nothing holds the close back: the data is still there to drain.
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_CLOSE));
  PeerWrite("pending");
  PeerClose();
  Step();
  EXPECT_EQ(m_window.SocketEvents(), std::vector<uint32_t>{FD_CLOSE});
  EXPECT_EQ(m_local.Available(), 7);
  char buffer[16];
  EXPECT_EQ(m_local.Recv(buffer, sizeof buffer), 7);
  Step();
  EXPECT_EQ(m_window.Count(FD_CLOSE), 1u) << "FD_CLOSE comes once";
}

TEST_F(LoopTest, DeselectAndCloseDropEventsAlreadyQueued) {
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_READ));
  PeerWrite("abc");
  Message msg;
  ASSERT_TRUE(m_loop.PeekMessage(&msg));  // raised, not dispatched yet
  ASSERT_TRUE(m_local.Select(m_window.Handle(), 0));
  m_loop.DispatchMessage(msg);
  EXPECT_EQ(m_window.Count(FD_READ), 0u) << "delivered after the socket was deselected";
  // The event was never delivered, so selecting again delivers it.
  ASSERT_TRUE(m_local.Select(m_window.Handle(), FD_READ));
  Step();
  EXPECT_EQ(m_window.Count(FD_READ), 1u);

  // Raise another event, then close the socket before it is dispatched; a new socket that takes
  // over the same descriptor must not receive it.
  char buffer[8];
  ASSERT_EQ(m_local.Recv(buffer, 1), 1);
  ASSERT_TRUE(m_loop.PeekMessage(&msg));
  ASSERT_EQ(SelectEvent(msg.lParam), FD_READ);
  const int hOld = m_local.Fd();
  m_local.Close();
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  Socket reused(fds[0]);
  ASSERT_EQ(reused.Fd(), hOld);
  ASSERT_TRUE(reused.Select(m_window.Handle(), FD_READ));
  m_loop.DispatchMessage(msg);
  EXPECT_EQ(m_window.Count(FD_READ), 1u) << "the old socket's event reached the new socket";
  ::close(fds[1]);
}

TEST_F(LoopTest, WindowAndThreadTimers) {
  std::vector<uint32_t> vThreadTimers;
  auto preTranslate = [&](const Message& msg) {
    if (msg.hwnd == 0 && msg.message == WM_TIMER) vThreadTimers.push_back(static_cast<uint32_t>(msg.wParam));
    return msg.hwnd == 0;
  };
  ASSERT_TRUE(m_window.SetTimer(501, 1000));
  m_loop.SetTimer(0, 1, 300);
  for (int i = 0; i < 3; ++i) {
    m_qwNow += 300;
    m_loop.RunUntilIdle(preTranslate);
  }
  EXPECT_EQ(vThreadTimers, (std::vector<uint32_t>{1, 1, 1}));
  m_qwNow += 99;
  m_loop.RunUntilIdle(preTranslate);
  EXPECT_TRUE(m_window.m_vEvents.empty());
  m_qwNow += 1;
  m_loop.RunUntilIdle(preTranslate);
  ASSERT_EQ(m_window.m_vEvents.size(), 1u);
  EXPECT_EQ(m_window.m_vEvents[0].message, WM_TIMER);
  EXPECT_EQ(m_window.m_vEvents[0].wParam, 501u);
  // A loop held up for several periods gets one tick, and the next period starts then.
  m_qwNow += 5500;
  m_loop.RunUntilIdle(preTranslate);
  EXPECT_EQ(m_window.m_vEvents.size(), 2u);
  m_qwNow += 999;
  m_loop.RunUntilIdle(preTranslate);
  EXPECT_EQ(m_window.m_vEvents.size(), 2u);
  // Restarting with another period, then killing.
  m_window.SetTimer(501, 100);
  m_qwNow += 100;
  m_loop.RunUntilIdle(preTranslate);
  EXPECT_EQ(m_window.m_vEvents.size(), 3u);
  m_window.KillTimer(501);
  m_qwNow += 10000;
  m_loop.RunUntilIdle(preTranslate);
  EXPECT_EQ(m_window.m_vEvents.size(), 3u);
}

TEST_F(LoopTest, MessagesToAGoneWindowOrThreadAreDropped) {
  auto lpDoomed = std::make_unique<RecordingWindow>();
  lpDoomed->Create();
  const Hwnd hDoomed = lpDoomed->Handle();
  ASSERT_TRUE(MessageLoop::PostMessage(hDoomed, WM_USER + 100));
  lpDoomed->Destroy();
  lpDoomed.reset();
  Step();  // must not touch the freed window

  // Other threads post into this loop; a thread that has ended takes nothing.
  ThreadId tidOther = 0;
  std::thread other([&] {
    MessageLoop loop;
    tidOther = loop.Id();
    EXPECT_TRUE(MessageLoop::PostMessage(m_window.Handle(), WM_USER + 7, 42));
    EXPECT_TRUE(MessageLoop::PostThreadMessage(m_loop.Id(), WM_USER + 8));
  });
  other.join();
  std::vector<uint32_t> vThread;
  m_loop.RunUntilIdle([&](const Message& msg) {
    if (msg.hwnd == 0) vThread.push_back(msg.message);
    return msg.hwnd == 0;
  });
  ASSERT_EQ(m_window.m_vEvents.size(), 1u);
  EXPECT_EQ(m_window.m_vEvents[0].message, WM_USER + 7);
  EXPECT_EQ(m_window.m_vEvents[0].wParam, 42u);
  EXPECT_EQ(vThread, std::vector<uint32_t>{WM_USER + 8});
  EXPECT_FALSE(MessageLoop::PostThreadMessage(tidOther, WM_USER));
  EXPECT_FALSE(MessageLoop::PostMessage((static_cast<Hwnd>(tidOther) << 32) | 1, WM_USER));
}

TEST_F(LoopTest, ConnectAcceptAndRefusal) {
  Socket listener = Socket::Tcp();
  ASSERT_TRUE(listener.Bind(0x0100007F, 0));
  ASSERT_TRUE(listener.Listen(5));
  SocketAddress local;
  ASSERT_TRUE(listener.LocalAddress(&local));
  ASSERT_TRUE(listener.Select(m_window.Handle(), FD_ACCEPT));

  Socket client = Socket::Tcp();
  ASSERT_TRUE(client.Select(m_window.Handle(), FD_WRITE | FD_CONNECT | FD_CLOSE));
  Step();
  EXPECT_TRUE(m_window.SocketEvents().empty()) << "an unconnected socket reports nothing";
  ASSERT_EQ(client.Connect(0x0100007F, local.m_wPort), 0);
  Socket second = Socket::Tcp();
  ASSERT_EQ(second.Connect(0x0100007F, local.m_wPort), 0);
  std::vector<Socket> vAccepted;
  m_window.m_onEvent = [&](const Event& e) {
    if (e.dwEvent == FD_ACCEPT) {
      Socket accepted = listener.Accept(nullptr);  // one per event, as a service does
      if (accepted) vAccepted.push_back(std::move(accepted));
    }
  };
  for (int i = 0; i < 20 && vAccepted.size() < 2; ++i) {
    Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(vAccepted.size(), 2u);
  std::vector<uint32_t> vClient;
  for (const Event& e : m_window.m_vEvents) {
    if (e.wParam == static_cast<uintptr_t>(client.Fd())) vClient.push_back(e.dwEvent);
  }
  EXPECT_EQ(vClient, (std::vector<uint32_t>{FD_CONNECT, FD_WRITE}));

  // A refused connect reports its error once and no close.
  listener.Close();
  m_window.m_vEvents.clear();
  Socket refused = Socket::Tcp();
  ASSERT_TRUE(refused.Select(m_window.Handle(), FD_CONNECT | FD_CLOSE | FD_READ | FD_WRITE));
  ASSERT_EQ(refused.Connect(0x0100007F, local.m_wPort), 0);
  for (int i = 0; i < 20 && m_window.m_vEvents.empty(); ++i) {
    Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Step();
  ASSERT_EQ(m_window.SocketEvents(), std::vector<uint32_t>{FD_CONNECT});
  EXPECT_EQ(m_window.m_vEvents[0].dwError, static_cast<uint32_t>(ECONNREFUSED));
}

// A reader that only peeks (a request taken up to its line end, the rest left in the socket)
// must still learn that the stream ended: the peek that finds the end is the read after which
// FD_CLOSE is due. Otherwise a caller who sends part of a request and leaves is never noticed.
TEST(LoopPeekTest, APeekThatFindsTheEndOfTheStreamLetsTheCloseCome) {
  MessageLoop loop;
  for (const char* lpSent : {"", "CONN"}) {
    const std::string sSent = lpSent;
    SCOPED_TRACE("sent before closing: '" + sSent + "'");
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    Socket local(fds[0]);
    RecordingWindow window;
    window.Create();
    std::string sTaken;
    window.m_onEvent = [&](const Event& e) {
      if (e.dwEvent != FD_READ) return;
      char buffer[64];
      long n;
      while ((n = local.Peek(buffer, sizeof buffer)) > 0) {
        ASSERT_EQ(local.Recv(buffer, static_cast<size_t>(n)), n);
        sTaken.append(buffer, static_cast<size_t>(n));
      }
    };
    ASSERT_TRUE(local.Select(window.Handle(), FD_READ | FD_CLOSE));
    if (!sSent.empty()) {
      ASSERT_EQ(::write(fds[1], sSent.data(), sSent.size()), static_cast<ssize_t>(sSent.size()));
    }
    ::close(fds[1]);
    loop.RunUntilIdle();
    loop.RunUntilIdle();
    EXPECT_EQ(sTaken, sSent);
    ASSERT_FALSE(window.SocketEvents().empty());
    EXPECT_EQ(window.SocketEvents().back(), static_cast<uint32_t>(FD_CLOSE));
    EXPECT_EQ(window.Count(FD_CLOSE), 1u);
    window.Destroy();
  }
}

TEST_F(LoopTest, APostedTaskRunsOnTheWindowsThreadInTurnWithItsMessages) {
  std::thread::id ranOn;
  std::thread other([&] {
    EXPECT_TRUE(MessageLoop::PostMessage(m_window.Handle(), WM_USER + 1));
    EXPECT_TRUE(MessageLoop::PostTask(m_window.Handle(), [&] {
      ranOn = std::this_thread::get_id();
      m_window.m_vEvents.push_back(Event{WM_TASK, 0, 0, 0});
    }));
    EXPECT_TRUE(MessageLoop::PostMessage(m_window.Handle(), WM_USER + 2));
  });
  other.join();
  EXPECT_EQ(ranOn, std::thread::id()) << "ran before the window's loop turned";
  Step();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  std::vector<uint32_t> vOrder;
  for (const Event& e : m_window.m_vEvents) vOrder.push_back(e.message);
  EXPECT_EQ(vOrder, (std::vector<uint32_t>{WM_USER + 1, WM_TASK, WM_USER + 2}));
}

TEST_F(LoopTest, ATaskForAWindowThatIsGoneIsDestroyedUnrun) {
  // What a task holds (a lookup's answer, a callback's state) must be freed when it is dropped.
  bool bRan = false;
  auto lpHeld = std::make_shared<int>(1);
  std::weak_ptr<int> held = lpHeld;
  auto doomed = std::make_unique<RecordingWindow>();
  doomed->Create();
  ASSERT_TRUE(MessageLoop::PostTask(doomed->Handle(), [&bRan, lpHeld] { bRan = *lpHeld == 1; }));
  lpHeld.reset();
  EXPECT_FALSE(held.expired()) << "the queued task holds its state";
  doomed->Destroy();
  doomed.reset();
  Step();
  EXPECT_FALSE(bRan);
  EXPECT_TRUE(held.expired());

  // A window of a thread that has ended: refused at once, and destroyed as well.
  Hwnd hGone = 0;
  std::thread other([&] {
    MessageLoop loop;
    RecordingWindow window;
    window.Create();
    hGone = window.Handle();
    window.Destroy();
  });
  other.join();
  lpHeld = std::make_shared<int>(2);
  held = lpHeld;
  EXPECT_FALSE(MessageLoop::PostTask(hGone, [&bRan, lpHeld] { bRan = *lpHeld == 2; }));
  lpHeld.reset();
  EXPECT_TRUE(held.expired());
  Step();
  EXPECT_FALSE(bRan);
}

// A TCP connection on loopback: one end under this thread's loop (stepped, on a clock the test
// moves), the peer a plain socket the test reads. Closing a TCP socket that has unread bytes
// makes Linux send a reset, which destroys what was sent just before; that is what a graceful
// close must avoid.
// A connection whose local end is served by a loop with a clock that stands still.
struct LingeringConnection {
  LingeringConnection() {
    m_loop.SetClock([this] { return m_qwNow; });
    Socket listener = Socket::Tcp();
    EXPECT_TRUE(listener.Bind(0x0100007F, 0));
    EXPECT_TRUE(listener.Listen(1));
    SocketAddress address;
    EXPECT_TRUE(listener.LocalAddress(&address));
    m_hPeer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = 0x0100007F;
    to.sin_port = htons(address.m_wPort);
    EXPECT_EQ(::connect(m_hPeer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    for (int i = 0; i < 500 && !m_local; ++i) {
      m_local = listener.Accept(nullptr);
      if (!m_local) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(m_local);
  }
  ~LingeringConnection() {
    if (m_hPeer >= 0) ::close(m_hPeer);
  }

  // Whether the loop still holds the descriptor (the test opens none meanwhile, so the number
  // is not taken again).
  static bool Open(int hFd) { return ::fcntl(hFd, F_GETFD) != -1; }
  // Reads the peer's end until the end of the stream or a failure, stepping the loop meanwhile.
  // Returns what arrived; *pnLast is the last recv's result and *pnError its errno.
  std::string PeerReadAll(long* pnLast, int* pnError) {
    std::string sReceived;
    std::vector<char> vBuffer(256 * 1024);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    *pnLast = -1;
    *pnError = ETIMEDOUT;
    while (std::chrono::steady_clock::now() < deadline) {
      m_loop.RunUntilIdle();
      pollfd entry{m_hPeer, POLLIN, 0};
      if (::poll(&entry, 1, 10) <= 0) continue;
      const long n = ::recv(m_hPeer, vBuffer.data(), vBuffer.size(), MSG_DONTWAIT);
      if (n > 0) {
        sReceived.append(vBuffer.data(), static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EAGAIN) continue;
      *pnLast = n;
      *pnError = n < 0 ? errno : 0;
      break;
    }
    return sReceived;
  }

  uint64_t m_qwNow = 1000000;
  MessageLoop m_loop;
  Socket m_local;
  int m_hPeer = -1;
};

class LingerTest : public ::testing::Test, protected LingeringConnection {};

TEST_F(LingerTest, ThePeerReadsEverythingThenACleanEndAndTheSocketClosesWhenThePeerDoes) {
  // The peer has sent what the local end never reads, and the local end has queued as much as
  // the kernel takes, most of it not sent yet when it is closed.
  const std::string sUnread(64 * 1024, 'u');
  ASSERT_EQ(::send(m_hPeer, sUnread.data(), sUnread.size(), 0), static_cast<ssize_t>(sUnread.size()));
  std::string sSent;
  std::string sBlock(16 * 1024, '\0');
  for (int nBlock = 0; sSent.size() < (32u << 20); ++nBlock) {
    for (size_t i = 0; i < sBlock.size(); ++i) sBlock[i] = static_cast<char>((nBlock * 31 + i * 7) & 0xFF);
    const long n = m_local.Send(sBlock.data(), sBlock.size());
    if (n <= 0) break;
    sSent.append(sBlock.data(), static_cast<size_t>(n));
  }
  ASSERT_GT(sSent.size(), sBlock.size());
  const int hLocal = m_local.Fd();
  m_local.CloseGracefully(2000);
  EXPECT_FALSE(m_local.Valid()) << "the loop owns the descriptor now";

  long nLast = 0;
  int nError = 0;
  const std::string sReceived = PeerReadAll(&nLast, &nError);
  EXPECT_EQ(sReceived.size(), sSent.size());
  EXPECT_TRUE(sReceived == sSent) << "the bytes arrived damaged";
  EXPECT_EQ(nLast, 0) << "no clean end of the stream: errno " << nError;

  EXPECT_TRUE(Open(hLocal)) << "closed before the peer has closed";
  ::close(m_hPeer);
  m_hPeer = -1;
  bool bClosed = false;
  for (int i = 0; i < 500 && !bClosed; ++i) {
    m_loop.RunUntilIdle();
    bClosed = !Open(hLocal);
    if (!bClosed) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(bClosed) << "the lingering socket outlived its peer";
}

// Waits until the peer's kernel has acknowledged everything the local end sent.
bool AllAcknowledged(int hFd) {
  for (int i = 0; i < 500; ++i) {
    int cbUnacknowledged = -1;
    if (::ioctl(hFd, SIOCOUTQ, &cbUnacknowledged) != 0) return false;
    if (cbUnacknowledged == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

TEST(LingerUntilTest, WhatALingeringSocketWaitsFor) {
  struct Case {
    const char* lpName;
    LingerUntil until;
    bool bPeerSentUnread;   // bytes the local end never read wait in its socket
    bool bAcknowledged;     // the peer's kernel has acknowledged all that was sent
    bool bOpenAfterClose;   // the loop still holds the descriptor after CloseGracefully
  };
  const Case aCases[] = {
      {"peer end, all acknowledged", LingerUntil::kPeerEnd, false, true, true},
      {"peer end, unread bytes", LingerUntil::kPeerEnd, true, true, true},
      {"acknowledged, all acknowledged", LingerUntil::kAcknowledged, false, true, false},
      {"acknowledged, unread bytes are dropped first", LingerUntil::kAcknowledged, true, true, false},
      {"acknowledged, the peer is behind", LingerUntil::kAcknowledged, false, false, true},
  };
  for (const Case& c : aCases) {
    SCOPED_TRACE(c.lpName);
    LingeringConnection fixture;
    if (c.bPeerSentUnread) {
      const std::string sUnread(16 * 1024, 'u');
      ASSERT_EQ(::send(fixture.m_hPeer, sUnread.data(), sUnread.size(), 0), static_cast<ssize_t>(sUnread.size()));
    }
    // Behind: more than the peer's receive buffer, so that some stays unacknowledged until it
    // reads.
    std::string sSent(c.bAcknowledged ? 1000 : (8u << 20), 'x');
    size_t cbSent = 0;
    while (cbSent < sSent.size()) {
      const long n = fixture.m_local.Send(sSent.data() + cbSent, sSent.size() - cbSent);
      if (n <= 0) break;
      cbSent += static_cast<size_t>(n);
    }
    sSent.resize(cbSent);
    if (c.bAcknowledged) {
      ASSERT_EQ(cbSent, 1000u);
      ASSERT_TRUE(AllAcknowledged(fixture.m_local.Fd()));
    }
    const int hLocal = fixture.m_local.Fd();
    fixture.m_local.CloseGracefully(2000, c.until);
    EXPECT_EQ(LingeringConnection::Open(hLocal), c.bOpenAfterClose);

    long nLast = 0;
    int nError = 0;
    const std::string sReceived = fixture.PeerReadAll(&nLast, &nError);
    EXPECT_EQ(sReceived.size(), sSent.size());
    EXPECT_EQ(nLast, 0) << "no clean end of the stream: errno " << nError;
  }
}

TEST_F(LingerTest, APeerThatStreamsOnIsLeftAfterAMegabyteNotAtTheDeadline) {
  const int hLocal = m_local.Fd();
  m_local.CloseGracefully(2000);
  // The clock stands still: only what the peer sends can end the lingering.
  const std::string sBlock(64 * 1024, 's');
  size_t cbSent = 0;
  bool bOpenAtHalf = false;
  for (int nRound = 0; nRound < 20000 && Open(hLocal) && cbSent < (8u << 20); ++nRound) {
    const long n = ::send(m_hPeer, sBlock.data(), sBlock.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) cbSent += static_cast<size_t>(n);
    if (n < 0 && errno != EAGAIN) break;  // the reset of the close
    m_loop.RunUntilIdle();
    if (cbSent <= 512 * 1024) bOpenAtHalf = Open(hLocal);
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(bOpenAtHalf) << "half a megabyte is what a finishing peer may still send";
  EXPECT_FALSE(Open(hLocal)) << "still reading a peer that sent " << cbSent << " bytes";
  EXPECT_GE(cbSent, 1u << 20);
}

TEST_F(LingerTest, APeerThatStaysIsLeftAtTheDeadline) {
  const int hLocal = m_local.Fd();
  m_local.CloseGracefully(2000);
  m_loop.RunUntilIdle();
  char c;
  pollfd entry{m_hPeer, POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 5000), 1);
  EXPECT_EQ(::recv(m_hPeer, &c, 1, MSG_DONTWAIT), 0) << "the end of the stream is sent at once";
  EXPECT_EQ(m_loop.NextTimerInMs(), 2000) << "the loop wakes for the deadline";
  m_qwNow += 1999;
  m_loop.RunUntilIdle();
  EXPECT_TRUE(Open(hLocal));
  m_qwNow += 1;
  m_loop.RunUntilIdle();
  EXPECT_FALSE(Open(hLocal));
  EXPECT_EQ(m_loop.NextTimerInMs(), -1);
}

}  // namespace
}  // namespace harbix
