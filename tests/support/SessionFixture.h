// Runs one session on the test's own thread: its client socket is one end of a socket pair and
// the test holds the other, the loop is stepped by the test, and timers run on a clock the test
// moves.
#pragma once

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/EngineMessages.h"
#include "engine/core/Session.h"
#include "platform/MessageLoop.h"

namespace harbix::test {

class SessionFixture {
 public:
  // The user's end is a socket pair, or with bTcp a loopback TCP connection (for a session
  // that needs the addresses of its client connection).
  explicit SessionFixture(bool bTcp = false) {
    m_loop.SetClock([this] { return m_qwNow; });
    int fds[2] = {-1, -1};
    m_context.m_peer = SocketAddress{0x0100007F, 40000};
    if (bTcp) {
      TcpPair(fds);
    } else {
      EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    }
    m_hUser = fds[1];
    m_context.m_qwId = 1;
    m_context.m_owner = m_loop.Id();
    m_context.m_client = Socket(fds[0]);
    m_context.m_lpCounters = &m_counters;
    m_context.m_lpConfig = std::make_shared<const ServiceConfig>(m_config);
  }
  ~SessionFixture() {
    if (m_lpSession) {
      m_lpSession->SetQuiet();
      m_lpSession->Destroy();
    }
    ::close(m_hUser);
  }

  // The settings the session is made with; change before Start.
  ServiceConfig m_config;

  void Start(const SessionFactory& factory) {
    m_context.m_lpConfig = std::make_shared<const ServiceConfig>(m_config);
    m_lpSession = factory(std::move(m_context));
    ASSERT_TRUE(m_lpSession);
    ASSERT_TRUE(m_lpSession->Create());
    Step();
  }

  // Handles what is ready now; notes the session's end.
  void Step() {
    m_loop.RunUntilIdle([this](const Message& msg) {
      // As the owner does: the session is destroyed (closing its sockets) when it is over.
      if (msg.hwnd == 0 && msg.message == WM_SESSION_FINISHED && m_lpSession) {
        m_bFinished = true;
        m_lpSession->SetQuiet();
        m_lpSession->Destroy();
        m_lpSession.reset();
      }
      return msg.hwnd == 0;
    });
  }
  // Steps until cond holds (real time passes: connects and lookups take their course).
  template <typename Cond>
  bool StepUntil(Cond cond, int nTimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (true) {
      Step();
      if (cond()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void Advance(uint64_t qwMs) {
    m_qwNow += qwMs;
    Step();
  }

  // What the user side has received so far (all of it, accumulated).
  const std::string& Received() {
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(m_hUser, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) m_sReceived.append(buffer, static_cast<size_t>(n));
    if (n == 0) m_bUserClosed = true;
    return m_sReceived;
  }
  bool UserSeesClose() {
    Received();
    return m_bUserClosed;
  }
  // The user sends the end of the stream (and can still read what comes).
  void UserHangsUp() { ::shutdown(m_hUser, SHUT_WR); }
  void Type(const std::string& sText) { ASSERT_EQ(::send(m_hUser, sText.data(), sText.size(), 0), static_cast<ssize_t>(sText.size())); }
  bool WaitFor(const std::string& sText, int nTimeoutMs = 5000) {
    return StepUntil([&] { return Received().find(sText) != std::string::npos; }, nTimeoutMs);
  }

  bool Finished() const { return m_bFinished; }
  SessionCounters& Counters() { return m_counters; }

 private:
  // fds[0] is the engine's end (non-blocking), fds[1] the user's.
  void TcpPair(int fds[2]) {
    const int hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = 0x0100007F;
    socklen_t cbAddress = sizeof address;
    EXPECT_EQ(::bind(hListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(hListener, 1), 0);
    EXPECT_EQ(::getsockname(hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress), 0);
    fds[1] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(fds[1], reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    sockaddr_in peer{};
    socklen_t cbPeer = sizeof peer;
    fds[0] = ::accept4(hListener, reinterpret_cast<sockaddr*>(&peer), &cbPeer, SOCK_NONBLOCK | SOCK_CLOEXEC);
    EXPECT_GE(fds[0], 0);
    ::close(hListener);
    m_context.m_peer = SocketAddress{peer.sin_addr.s_addr, ntohs(peer.sin_port)};
  }

  uint64_t m_qwNow = 1000000;
  MessageLoop m_loop;
  SessionCounters m_counters;
  SessionContext m_context;
  std::unique_ptr<Session> m_lpSession;
  int m_hUser = -1;
  std::string m_sReceived;
  bool m_bUserClosed = false;
  bool m_bFinished = false;
};

}  // namespace harbix::test
