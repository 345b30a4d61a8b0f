#include "engine/proxies/FtpSession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using ftp::ClientCommand;
using ftp::ServerReply;

constexpr uint32_t kOtherLoopbackIp = 0x0200007F;  // 127.0.0.2

TEST(FtpLinesTest, ClientLines) {
  using Kind = ClientCommand::Kind;
  struct Case {
    const char* lpLine;
    bool bUserSeen;
    Kind kind;
    const char* lpLine2;  // the line that goes on (or the local answer)
    const char* lpHost;
    uint16_t wPort;
  } cases[] = {
      {"USER bob@ftp.example.test", false, Kind::kLogin, "USER bob", "ftp.example.test", 21},
      {"user  bob @  127.0.0.1 : 2121", false, Kind::kLogin, "USER bob", "127.0.0.1", 2121},
      {"USER anonymous@127.0.0.1:abc", false, Kind::kLogin, "USER anonymous", "127.0.0.1", 0},
      {"USER a@b@c", false, Kind::kLogin, "USER a", "b@c", 21},
      {"USER bob", false, Kind::kNoHost, "", "", 21},
      {"USER", false, Kind::kNoUser, "", "", 21},
      {"PASS secret", false, Kind::kNoUser, "", "", 21},
      {"FEAT", false, Kind::kLocal, "211 End", "", 21},
      {"AUTH TLS", false, Kind::kLocal, ftp::kNoTls, "", 21},
      {"opts UTF8 ON", false, Kind::kLocal, ftp::kNoOptions, "", 21},
      {"EPSV", true, Kind::kLocal, "502 Command not implemented", "", 21},
      {"eprt |1|127.0.0.1|5000|", true, Kind::kLocal, "502 Command not implemented", "", 21},
      {"LPSV", true, Kind::kLocal, "502 Command not implemented", "", 21},
      {"LPRT 4,4,127,0,0,1,2,19,136", true, Kind::kLocal, "502 Command not implemented", "", 21},
      {"EPSVX", true, Kind::kForward, "EPSVX", "", 21},
      {"PORT 10,1,2,3,4,1", true, Kind::kPort, "", "", 21},
      {"PORT 10,1,2,3,4", true, Kind::kPortError, "", "", 21},
      {"PORT 10,1,2,3,4,1,9", true, Kind::kPortError, "", "", 21},
      {"PORT 10,1,2,3,256,1", true, Kind::kPortError, "", "", 21},
      {"PORT 10,1,2,3,0,0", true, Kind::kPortError, "", "", 21},
      {"USER other@host", true, Kind::kForward, "USER other@host", "", 21},
      {"RETR file.bin", true, Kind::kForward, "RETR file.bin", "", 21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpLine);
    const ClientCommand command = ftp::ReadClientLine(c.lpLine, c.bUserSeen);
    EXPECT_EQ(command.m_kind, c.kind);
    if (c.kind == Kind::kLogin || c.kind == Kind::kLocal || c.kind == Kind::kForward) {
      EXPECT_EQ(command.m_sLine, c.lpLine2);
    }
    if (c.kind == Kind::kLogin) {
      EXPECT_EQ(command.m_sHost, c.lpHost);
      EXPECT_EQ(command.m_wPort, c.wPort);
    }
  }
  const ClientCommand port = ftp::ReadClientLine("PORT  10,1,2,3,4,1", true);
  EXPECT_EQ(port.m_address.m_wPort, 1025);
  EXPECT_EQ(port.m_address.m_dwIp, 0x0302010Au);
}

TEST(FtpLinesTest, ServerLines) {
  using Kind = ServerReply::Kind;
  struct Case {
    const char* lpLine;
    Kind kind;
    const char* lpOut;  // the line for the client; for a 227 the one the proxy would send
  } cases[] = {
      {"220 (vsFTPd 3.0.3)", Kind::kGreeting, "(vsFTPd 3.0.3)"},
      {"220-Welcome", Kind::kGreeting, "Welcome"},
      {"220-  Welcome", Kind::kGreeting, "Welcome"},
      {"230-more text", Kind::kForward, "230-more text"},
      {"331    Please specify the password.", Kind::kForward, "331 Please specify the password."},
      {"226", Kind::kForward, "226"},
      {"not a reply", Kind::kForward, "not a reply"},
      {"12 short", Kind::kForward, "12 short"},
      {"227 Entering Passive Mode (10,0,0,9,156,64).", Kind::kPassive, "227 Entering Passive Mode (127,0,0,1,4,1)."},
      {"227 Entering Passive Mode ( 10,0,0,9,156,64 )", Kind::kPassive, "227 Entering Passive Mode (127,0,0,1,4,1)"},
      {"227 10,0,0,9,156,64", Kind::kPassive, "227 (127,0,0,1,4,1)"},
      {"227 Entering Passive Mode 10,0,0,9,156,64", Kind::kPassiveError, ""},
      {"227 10,0,0,9,156,64 ok", Kind::kPassiveError, ""},
      {"227 (10,0,0,9,156)", Kind::kPassiveError, ""},
      {"227 (10,0,0,9,156,999)", Kind::kPassiveError, ""},
      {"227 Entering Passive Mode", Kind::kPassiveError, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpLine);
    const ServerReply reply = ftp::ReadServerLine(c.lpLine);
    ASSERT_EQ(reply.m_kind, c.kind);
    if (c.kind == Kind::kForward || c.kind == Kind::kGreeting) {
      EXPECT_EQ(reply.m_sLine, c.lpOut);
    }
    if (c.kind == Kind::kPassive) {
      EXPECT_EQ(reply.m_address.m_wPort, 156 * 256 + 64);
      EXPECT_EQ(ftp::PassiveReply(reply, test::kLoopbackIp, 1025), c.lpOut);
    }
  }
}

// A scripted FTP server on a thread of its own: it greets, answers each line it reads with
// what the script says (nothing for an empty answer) and keeps every line it read.
class ScriptedServer {
 public:
  using Script = std::function<std::string(const std::string& sLine)>;
  ScriptedServer(std::string sGreeting, Script script) : m_sGreeting(std::move(sGreeting)), m_script(std::move(script)) {
    m_hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = test::kLoopbackIp;
    socklen_t cbAddress = sizeof address;
    EXPECT_EQ(::bind(m_hListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(m_hListener, 4), 0);
    ::getsockname(m_hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
    m_wPort = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    m_bStop = true;
    ::shutdown(m_hListener, SHUT_RDWR);
    m_thread.join();
    ::close(m_hListener);
  }
  uint16_t Port() const { return m_wPort; }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_vLines;
  }

 private:
  void Serve() {
    pollfd entry{m_hListener, POLLIN, 0};
    while (!m_bStop && ::poll(&entry, 1, 100) >= 0) {
      if (!(entry.revents & POLLIN)) continue;
      const int hSocket = ::accept4(m_hListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (hSocket < 0) return;
      test::SendAll(hSocket, m_sGreeting);
      std::string sPending;
      char buffer[4096];
      while (!m_bStop) {
        pollfd client{hSocket, POLLIN, 0};
        if (::poll(&client, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(hSocket, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        sPending.append(buffer, static_cast<size_t>(n));
        for (size_t nFeed; (nFeed = sPending.find('\n')) != std::string::npos;) {
          std::string sLine = sPending.substr(0, nFeed);
          if (!sLine.empty() && sLine.back() == '\r') sLine.pop_back();
          sPending.erase(0, nFeed + 1);
          {
            std::lock_guard<std::mutex> lock(m_lock);
            m_vLines.push_back(sLine);
          }
          const std::string sAnswer = m_script(sLine);
          if (!sAnswer.empty()) test::SendAll(hSocket, sAnswer);
        }
      }
      ::close(hSocket);
    }
  }

  std::string m_sGreeting;
  Script m_script;
  int m_hListener = -1;
  uint16_t m_wPort = 0;
  std::atomic<bool> m_bStop{false};
  std::mutex m_lock;
  std::vector<std::string> m_vLines;
  std::thread m_thread;
};

std::string Login(uint16_t wPort) { return "USER bob@127.0.0.1:" + std::to_string(wPort) + "\r\n"; }

std::string Answers(const std::string& sLine) {
  if (sLine.starts_with("USER")) return "331 Please specify the password.\r\n";
  if (sLine.starts_with("PASS")) return "230-Hello\r\n230 Login successful.\r\n";
  if (sLine.starts_with("PASV")) return "227 Entering Passive Mode (10,9,8,7,4,1).\r\n";
  if (sLine.starts_with("BADPASV")) return "227 Entering Passive Mode 127,0,0,1,4,1\r\n";
  if (sLine.starts_with("PORT")) return "200 PORT command successful.\r\n";
  return "250 " + sLine + "\r\n";
}

TEST(FtpSessionTest, GreetingLoginFoldingAndRelayedLines) {
  ScriptedServer server("220-First line\r\n220 (fake 1.0)\r\n", Answers);
  test::SessionFixture session(true);
  session.Start(FtpSessionFactory());
  ASSERT_TRUE(session.WaitFor("connect\r\n"));
  EXPECT_EQ(session.Received(), "220-Quillbay FTP Proxy OK\r\n220 Send user@hostname to connect\r\n");
  // Lines sent behind USER wait for the server connection and keep their order.
  session.Type("  FEAT\r\nAUTH TLS\r\n" + Login(server.Port()) + "PASS x\r\n");
  ASSERT_TRUE(session.WaitFor("230 Login successful.\r\n"));
  // The proxy's own answer does not wait for replies the server still owes: EPSV comes alone.
  session.Type("EPSV\r\n");
  ASSERT_TRUE(session.WaitFor("502 Command not implemented\r\n"));
  session.Type("\r\n  NOOP   \r\n");
  ASSERT_TRUE(session.WaitFor("250 NOOP\r\n"));
  EXPECT_EQ(session.Received(),
            "220-Quillbay FTP Proxy OK\r\n220 Send user@hostname to connect\r\n211 End\r\n" + std::string(ftp::kNoTls) +
                "\r\n331-First line\r\n331-(fake 1.0)\r\n331 Please specify the password.\r\n"
                "230-Hello\r\n230 Login successful.\r\n502 Command not implemented\r\n250 NOOP\r\n");
  EXPECT_EQ(server.Lines(), (std::vector<std::string>{"USER bob", "PASS x", "NOOP"}));
}

// A server that needs no password answers USER with 230: the greeting lines take that code, or
// the client would wait for the end of a 331 reply.
TEST(FtpSessionTest, TheGreetingTakesTheCodeOfTheReplyToUser) {
  ScriptedServer server("220-One\r\n220 Two\r\n", [](const std::string&) { return std::string("230 Login successful.\r\n"); });
  test::SessionFixture session(true);
  session.Start(FtpSessionFactory());
  session.Type(Login(server.Port()));
  ASSERT_TRUE(session.WaitFor("230 Login successful.\r\n"));
  EXPECT_TRUE(session.Received().ends_with("connect\r\n230-One\r\n230-Two\r\n230 Login successful.\r\n")) << session.Received();
}

TEST(FtpSessionTest, EachFailureGetsItsLineThenTheConnectionCloses) {
  ScriptedServer server("220 ok\r\n", Answers);
  const uint16_t wClosed = test::ClosedPort();
  struct Case {
    std::string sInput;
    bool bDenyLoopback;
    std::string sLastLine;
  } cases[] = {
      {"PASS x\r\n", false, "421 NO USER SPECIFIED, QUITTING\r\n"},
      {"USER bob\r\n", false, "530 NO HOST SPECIFIED, QUITTING\r\n"},
      {"USER bob@no.such.host.invalid\r\n", false, "530 Cannot Resolve Host 'no.such.host.invalid'\r\n"},
      {Login(server.Port()), true, "530 Not allowed to connect to '127.0.0.1'\r\n"},
      {"USER bob@127.0.0.1:" + std::to_string(wClosed) + "\r\n", false, "530 Cannot connect to host\r\n"},
      {Login(server.Port()) + "PORT 1,2,3\r\n", false, "451 PORT ERROR\r\n"},
      {Login(server.Port()) + "BADPASV\r\n", false, "451 PASV ERROR, QUITTING\r\n"},
      {Login(server.Port()) + std::string(ftp::kMaxLine + 1, 'x'), false, "421 Error while receiving data\r\n"},
      {std::string(ftp::kMaxLine + 1, 'x'), false, "421 Error while receiving data\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sLastLine);
    test::SessionFixture session(true);
    if (c.bDenyLoopback) session.m_config.m_outgoing.Add({test::kLoopbackIp, 0xFFFFFFFF});
    session.Start(FtpSessionFactory());
    session.Type(c.sInput);
    ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }, 30000));
    EXPECT_TRUE(session.Received().ends_with(c.sLastLine)) << session.Received();
    EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
  }
}

TEST(FtpSessionTest, IdleSessionsEnd) {
  {
    test::SessionFixture session(true);
    session.Start(FtpSessionFactory());
    session.Advance(FtpSession::kFirstIdleMs);
    EXPECT_TRUE(session.Finished());  // nothing ever came: no goodbye
  }
  test::SessionFixture session(true);
  session.Start(FtpSessionFactory());
  session.Type("FEAT\r\n");
  ASSERT_TRUE(session.WaitFor("211 End\r\n"));
  session.Advance(FtpSession::kFirstIdleMs);
  session.Advance(kIdlePeriodMs);
  EXPECT_FALSE(session.Finished());  // the first period counts as activity
  session.Advance(kIdlePeriodMs);
  EXPECT_TRUE(session.WaitFor("451 TimeOut Expired, Quitting\r\n"));
  EXPECT_TRUE(session.StepUntil([&] { return session.UserSeesClose() && session.Finished(); }));
}

// A blocking connect to 127.0.0.1:port from a chosen local address.
int ConnectFrom(uint32_t dwFromIp, uint16_t wPort) {
  const int hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = dwFromIp;
  EXPECT_EQ(::bind(hSocket, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = test::kLoopbackIp;
  target.sin_port = htons(wPort);
  EXPECT_EQ(::connect(hSocket, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
  return hSocket;
}

// Passive mode: the proxy listens for the client, refuses a stranger while it waits, and joins
// the client's data connection to the server's listener, both ways, with the ends passed on.
TEST(FtpSessionTest, PassiveDataConnectionRunsThroughTheProxyFromTheExpectedPeerOnly) {
  test::TcpTestServer data(test::TcpTestServer::Mode::Echo);
  const std::string sPasv = "227 Entering Passive Mode (127,0,0,1," + std::to_string(data.Port() >> 8) + "," +
                            std::to_string(data.Port() & 0xFF) + ").\r\n";
  ScriptedServer server("220 ok\r\n", [&](const std::string& sLine) { return sLine == "PASV" ? sPasv : Answers(sLine); });
  test::SessionFixture session(true);
  session.Start(FtpSessionFactory());
  session.Type(Login(server.Port()) + "PASV\r\n");
  ASSERT_TRUE(session.WaitFor(").\r\n"));
  const std::string& sReceived = session.Received();
  const size_t nOpen = sReceived.rfind("227 Entering Passive Mode (");
  ASSERT_NE(nOpen, std::string::npos);
  unsigned a[6];
  ASSERT_EQ(std::sscanf(sReceived.c_str() + nOpen, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", &a[0], &a[1], &a[2],
                        &a[3], &a[4], &a[5]),
            6);
  EXPECT_EQ(a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3], 0x7F000001u);  // the address the client reached
  const uint16_t wListener = static_cast<uint16_t>(a[4] << 8 | a[5]);
  ASSERT_NE(wListener, data.Port());

  const int hStranger = ConnectFrom(kOtherLoopbackIp, wListener);
  bool bStrangerClosed = false;
  ASSERT_TRUE(session.StepUntil([&] { return bStrangerClosed = test::ClosedByPeer(hStranger, 10); }));
  EXPECT_EQ(data.Accepted(), 0u);
  const int hData = ConnectFrom(test::kLoopbackIp, wListener);
  const std::string sPayload(300000, 'p');
  // The echo server closes at the end of its input, sent or not: the end goes once all is back.
  std::thread writer([&] { test::SendAll(hData, sPayload); });
  std::string sEchoed;
  char buffer[65536];
  EXPECT_TRUE(session.StepUntil([&] {
    for (ssize_t n; (n = ::recv(hData, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) sEchoed.append(buffer, static_cast<size_t>(n));
    return sEchoed.size() >= sPayload.size();
  }, 30000)) << sEchoed.size();
  writer.join();
  EXPECT_EQ(sEchoed, sPayload);
  ::shutdown(hData, SHUT_WR);
  bool bEnd = false;
  EXPECT_TRUE(session.StepUntil([&] { return bEnd = ::recv(hData, buffer, sizeof buffer, MSG_DONTWAIT) == 0; }));
  EXPECT_EQ(data.Accepted(), 1u);
  EXPECT_FALSE(session.Finished());  // a data close leaves the control connection as it was
  session.Type("NOOP\r\n");
  EXPECT_TRUE(session.WaitFor("250 NOOP\r\n"));
  ::close(hStranger);
  ::close(hData);
}

// Active mode: the server is told the proxy's listener; the proxy calls the client back at the
// address of its control connection, whatever address the PORT named.
TEST(FtpSessionTest, ActiveDataConnectionGoesBackToTheClientsOwnAddress) {
  uint16_t wProxyListener = 0;
  std::mutex lock;
  ScriptedServer server("220 ok\r\n", [&](const std::string& sLine) {
    if (sLine.starts_with("PORT ")) {
      unsigned a[6];
      if (std::sscanf(sLine.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) == 6) {
        std::lock_guard<std::mutex> guard(lock);
        wProxyListener = static_cast<uint16_t>(a[4] << 8 | a[5]);
      }
    }
    return Answers(sLine);
  });
  test::TcpTestServer client(test::TcpTestServer::Mode::Hold);  // the client's data listener
  test::SessionFixture session(true);
  session.Start(FtpSessionFactory());
  session.Type(Login(server.Port()) + "PORT 10,20,30,40," + std::to_string(client.Port() >> 8) + "," +
               std::to_string(client.Port() & 0xFF) + "\r\n");
  ASSERT_TRUE(session.WaitFor("200 PORT command successful.\r\n"));
  uint16_t wListener = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    wListener = wProxyListener;
  }
  ASSERT_NE(wListener, 0);
  EXPECT_EQ(server.Lines().back(), "PORT 127,0,0,1," + std::to_string(wListener >> 8) + "," + std::to_string(wListener & 0xFF));
  const int hServerData = ConnectFrom(test::kLoopbackIp, wListener);
  EXPECT_TRUE(session.StepUntil([&] { return client.Accepted() == 1; }));
  ::close(hServerData);
}

}  // namespace
}  // namespace harbix
