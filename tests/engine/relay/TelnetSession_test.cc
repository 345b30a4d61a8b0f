#include "engine/relay/TelnetSession.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Catalog.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::TcpTestServer;

constexpr const char* kGreeting = "Harbix TelNet Proxy OK\r\nSend HostName to Connect: ";

TEST(TelnetHostLineTest, HostAndPort) {
  struct Case {
    const char* lpLine;
    const char* lpHost;
    uint16_t wPort;
  } cases[] = {
      {"example.test:2323\r\n", "example.test", 2323},
      {"example.test\n", "example.test", 23},
      {"  10.0.0.1  \r\n", "10.0.0.1", 23},
      {"example.test:\n", "example.test", 0},
      {"example.test:  80x\n", "example.test", 80},
      {"example.test:70000\n", "example.test", 4464},  // taken modulo 2^16
      {"example.test:23:45\n", "example.test", 23},
      {" \t example.test :2323\n", "example.test ", 2323},  // only leading blanks go before the colon
      {"\n", "", 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpLine);
    std::string sHost;
    uint16_t wPort = 0;
    TelnetSession::ParseHostLine(c.lpLine, &sHost, &wPort);
    EXPECT_EQ(sHost, c.lpHost);
    EXPECT_EQ(wPort, c.wPort);
  }
}

class TelnetSessionTest : public ::testing::Test {
 protected:
  void Start() { m_session.Start(TelnetSessionFactory()); }
  std::string Target(const TcpTestServer& server) { return "127.0.0.1:" + std::to_string(server.Port()); }

  test::SessionFixture m_session;
};

TEST_F(TelnetSessionTest, GreetsEchoesAndHonoursBackspace) {
  Start();
  EXPECT_EQ(m_session.Received(), kGreeting);
  m_session.Type("\b");  // on an empty line: nothing
  m_session.Step();
  EXPECT_EQ(m_session.Received(), kGreeting);
  m_session.Type("ab\bc\n");
  ASSERT_TRUE(m_session.WaitFor("'ac'\r\n"));
  EXPECT_EQ(m_session.Received().rfind(std::string(kGreeting) + "ab\b \bc\n\r\nConnecting to ", 0), 0u)
      << "echo with the erase sequence, then the connecting text";
  EXPECT_NE(m_session.Received().find("\r\nConnecting to 'ac'... Please Wait...\r\n"), std::string::npos);
  // "ac" is no host here.
  EXPECT_TRUE(m_session.StepUntil([&] { return m_session.UserSeesClose(); }, 30000));
  EXPECT_NE(m_session.Received().find("Cannot Resolve Host 'ac'\r\n"), std::string::npos);
  EXPECT_TRUE(m_session.Finished());
}

TEST_F(TelnetSessionTest, ConnectsAndRelaysWhatFollowsTheLine) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  Start();
  // The bytes after the line feed arrive with it and still reach the server.
  m_session.Type(Target(echo) + "\r\nhello server");
  ASSERT_TRUE(m_session.WaitFor("hello server"));
  m_session.Type(" and more");
  ASSERT_TRUE(m_session.WaitFor("hello server and more"));
  EXPECT_NE(m_session.Received().find("Connecting to '127.0.0.1'... Please Wait...\r\n"), std::string::npos);
  EXPECT_FALSE(m_session.Finished());
}

TEST_F(TelnetSessionTest, NamesAreLookedUp) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  Start();
  m_session.Type("localhost:" + std::to_string(echo.Port()) + "\n");
  ASSERT_TRUE(m_session.WaitFor("Please Wait...\r\n"));
  m_session.Type("ping");
  EXPECT_TRUE(m_session.WaitFor("ping"));
}

TEST(TelnetFailureTest, FailuresAreReportedThenTheConnectionCloses) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  const uint16_t wClosedPort = test::ClosedPort();
  struct Case {
    std::string sLine;
    bool bDenyLoopback;
    std::string sText;
  } cases[] = {
      {"127.0.0.1:" + std::to_string(echo.Port()) + "\n", true, "Not allowed to connect to '127.0.0.1'\r\n"},
      {"127.0.0.1:" + std::to_string(wClosedPort) + "\n", false, "Cannot connect to host\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sText);
    test::SessionFixture session;
    if (c.bDenyLoopback) session.m_config.m_outgoing.Add({0x0100007F, 0xFFFFFFFF});
    session.Start(TelnetSessionFactory());
    session.Type(c.sLine);
    ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }));
    const std::string& sText = session.Received();
    EXPECT_EQ(sText.substr(sText.size() - c.sText.size()), c.sText);
    EXPECT_TRUE(session.Finished());
  }
}

TEST_F(TelnetSessionTest, SilentUserIsDroppedAfterThirtySeconds) {
  Start();
  m_session.Advance(29999);
  EXPECT_FALSE(m_session.Finished());
  m_session.Advance(1);
  EXPECT_TRUE(m_session.Finished());
  EXPECT_TRUE(m_session.UserSeesClose());
}

TEST_F(TelnetSessionTest, AUserWhoTypedGetsTheLongIdleRule) {
  Start();
  m_session.Type("exa");
  m_session.Step();
  m_session.Advance(30000);
  EXPECT_FALSE(m_session.Finished());
  m_session.Advance(120000);  // the first long period always counts as activity
  EXPECT_FALSE(m_session.Finished());
  m_session.Type("m");
  m_session.Step();
  m_session.Advance(120000);
  EXPECT_FALSE(m_session.Finished()) << "a byte moved in this period";
  m_session.Advance(120000);
  EXPECT_TRUE(m_session.Finished());
}

TEST_F(TelnetSessionTest, AnEndlessHostLineEndsTheSession) {
  Start();
  m_session.Type(std::string(TelnetSession::kMaxHostLine - 1, 'x'));
  m_session.Step();
  EXPECT_FALSE(m_session.Finished());
  m_session.Type("x");
  m_session.Step();
  EXPECT_TRUE(m_session.Finished());
  EXPECT_TRUE(m_session.UserSeesClose());
}

TEST_F(TelnetSessionTest, EveryByteIsCountedOnceEachWay) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  Start();
  const std::string sLine = Target(echo) + "\n";
  m_session.Type(sLine);
  ASSERT_TRUE(m_session.WaitFor("Please Wait...\r\n"));
  m_session.Type("12345");
  ASSERT_TRUE(m_session.WaitFor("12345"));
  const uint64_t qwGreeting = std::string(kGreeting).size();
  const uint64_t qwConnecting = std::string("\r\nConnecting to '127.0.0.1'... Please Wait...\r\n").size();
  // Received: the line and 5 bytes from the user, 5 from the server. Sent: greeting, echo of
  // the line, the connecting text, 5 to the server and 5 back to the user.
  EXPECT_EQ(m_session.Counters().m_qwReceived.load(), sLine.size() + 10);
  EXPECT_EQ(m_session.Counters().m_qwSent.load(), qwGreeting + sLine.size() + qwConnecting + 10);
}

// Over real TCP against an engine in this process: a user who typed past the host line's limit
// before reading anything gets the greeting and every echoed byte, then a clean end of the
// stream. Closing with the user's last bytes unread would make the kernel send a reset, which
// can destroy the echo on its way.
TEST(TelnetEngineTest, AnOverlongHostLineIsEchoedInFullBeforeACleanEnd) {
  constexpr uint16_t kTelnetPort = 12323;
  test::TempHome home;
  test::OnlyServices({ServiceId::Telnet});
  test::ConfigureService(ServiceId::Telnet, kTelnetPort);
  test::EngineHarness harness(DefaultCatalog());
  ASSERT_TRUE(harness.Start());

  const int hUser = test::ConnectTcp(kTelnetPort);
  ASSERT_GE(hUser, 0);
  ASSERT_TRUE(test::SendAll(hUser, std::string(1100, 'x')));  // no line feed
  std::string sReceived;
  long nLast = -1;
  int nError = ETIMEDOUT;
  char buffer[4096];
  for (int nRound = 0; nRound < 1000; ++nRound) {
    pollfd entry{hUser, POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) break;
    nLast = ::recv(hUser, buffer, sizeof buffer, 0);
    if (nLast <= 0) {
      nError = nLast < 0 ? errno : 0;
      break;
    }
    sReceived.append(buffer, static_cast<size_t>(nLast));
  }
  ::close(hUser);
  EXPECT_EQ(sReceived, kGreeting + std::string(TelnetSession::kMaxHostLine, 'x'));
  EXPECT_EQ(nLast, 0) << "no clean end of the stream: errno " << nError;
}

}  // namespace
}  // namespace harbix
