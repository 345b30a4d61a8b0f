#include "engine/proxies/PnaSession.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::TcpTestServer;

std::string Record(int nType, const std::string& sValue) {
  const size_t cbRest = sValue.size() + 1;
  return std::string{char(cbRest >> 8), char(cbRest & 0xFF), char(nType)} + sValue;
}
std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }
std::string Port(uint16_t w) { return Byte(w >> 8) + Byte(w & 0xFF); }
std::string Header(const std::string& sHost, uint16_t wPort, int nTransport = 0) {
  return Record(1, Byte(1)) + Record(2, sHost) + Record(3, Port(wPort)) + Record(5, Byte(nTransport)) + Record(0, "");
}

// The answers a player sees for the headers that go wrong, and the connection closing after.
TEST(PnaFailureTest, EachFailureIsAnsweredAndTheConnectionCloses) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  // Reached, then left: the UDP set-up comes after the connect.
  TcpTestServer reached(TcpTestServer::Mode::Hold);
  std::string sManyEmpty;
  for (size_t i = 0; i * 2 <= PnaHeader::kMaxHeader; ++i) sManyEmpty += Byte(0) + Byte(0);
  struct Case {
    const char* lpName;
    bool bDenyLoopback;
    std::string sHeader;
    pna::Status status;
  } cases[] = {
      {"version 2", false, Record(1, Byte(2)) + Record(0, ""), pna::kBadVersion},
      {"end before the port", false, Record(1, Byte(1)) + Record(2, "127.0.0.1") + Record(5, Byte(0)) + Record(0, ""), pna::kBadInfo},
      {"host of 1024 bytes", false, Record(1, Byte(1)) + Record(2, std::string(1024, 'h')), pna::kBadInfo},
      {"type 9", false, Record(9, "x"), pna::kBadOpCode},
      {"past the cap", false, sManyEmpty, pna::kBadInfo},
      {"outgoing list refuses", true, Header("127.0.0.1", echo.Port()), pna::kNoConnect},
      {"nothing listens", false, Header("127.0.0.1", test::ClosedPort()), pna::kNoConnect},
      {"no such host", false, Header("no.such.host.invalid", echo.Port()), pna::kNoConnect},
      // UDP delivery without the player's port behind the header cannot be set up.
      {"UDP without a port", false, Header("127.0.0.1", reached.Port(), 1), pna::kBadInfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    test::SessionFixture session;
    if (c.bDenyLoopback) session.m_config.m_outgoing.Add({test::kLoopbackIp, 0xFFFFFFFF});
    session.Start(PnaSessionFactory());
    session.Type(c.sHeader);
    ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }, 30000));
    EXPECT_EQ(session.Received(), pna::ErrorReply(c.status));
    EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
  }
  EXPECT_EQ(echo.Accepted(), 0u);
}

// Whether the header comes with the stream's first bytes or a byte at a time, the server gets
// what followed the header first, then what is sent later; and its answers come back.
TEST(PnaRelayTest, TheBytesBehindTheHeaderReachTheServerFirst) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  const std::string sSuccess = pna::SuccessReply();
  for (bool bByteByByte : {false, true}) {
    SCOPED_TRACE(bByteByByte ? "byte by byte" : "in one piece");
    test::SessionFixture session;
    session.Start(PnaSessionFactory());
    const std::string sHeader = Header("127.0.0.1", echo.Port());
    if (bByteByByte) {
      for (char ch : sHeader) {
        session.Type(std::string(1, ch));
        session.Step();
      }
      session.Type("first;");
    } else {
      session.Type(sHeader + "first;");
    }
    ASSERT_TRUE(session.WaitFor(sSuccess + "first;"));
    session.Type("later");
    ASSERT_TRUE(session.WaitFor(sSuccess + "first;later"));
    EXPECT_EQ(session.Received(), sSuccess + "first;later");
    // The player's end ends the session.
    session.UserHangsUp();
    EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
  }
}

// A server that sends the end of its stream and closes: every byte arrives before the close.
TEST(PnaRelayTest, TheServersLastBytesArriveBeforeTheClose) {
  constexpr uint64_t kBytes = 3 << 20;
  TcpTestServer source(TcpTestServer::Mode::Source, kBytes);
  test::SessionFixture session;
  session.Start(PnaSessionFactory());
  session.Type(Header("127.0.0.1", source.Port()));
  ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }, 20000));
  const std::string& sReceived = session.Received();
  const size_t cbReply = pna::SuccessReply().size();
  ASSERT_EQ(sReceived.size(), cbReply + kBytes);
  bool bIntact = true;
  for (uint64_t i = 0; i < kBytes && bIntact; ++i) bIntact = static_cast<uint8_t>(sReceived[cbReply + i]) == test::PatternByte(i);
  EXPECT_TRUE(bIntact);
  EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
}

// A UDP socket of the test's, bound to a loopback address at a port the system chooses.
class UdpPeer {
 public:
  explicit UdpPeer(uint32_t dwIp) : m_hSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = dwIp;
    EXPECT_EQ(::bind(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t cb = sizeof address;
    ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &cb);
    m_wPort = ntohs(address.sin_port);
  }
  ~UdpPeer() { ::close(m_hSocket); }
  uint16_t Port() const { return m_wPort; }
  void SendTo(uint16_t wPort, const std::string& s) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = test::kLoopbackIp;
    to.sin_port = htons(wPort);
    ::sendto(m_hSocket, s.data(), s.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram, with its source port; empty when none waits.
  std::string Take(uint16_t* pwFrom) const {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t cb = sizeof from;
    const ssize_t n = ::recvfrom(m_hSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &cb);
    if (n <= 0) return std::string();
    *pwFrom = ntohs(from.sin_port);
    return std::string(buffer, static_cast<size_t>(n));
  }

 private:
  int m_hSocket;
  uint16_t m_wPort = 0;
};

uint16_t PortAt(const std::string& s, size_t n) { return static_cast<uint16_t>(uint8_t(s[n]) << 8 | uint8_t(s[n + 1])); }

// A server on an address of its own: it is told the proxy's ports in place of the player's,
// and the datagrams of each channel go both ways; a stranger's datagram goes nowhere.
TEST(PnaUdpTest, BothChannelsCarryDatagramsBothWays) {
  constexpr uint32_t kServerIp = 0x0200007F;    // 127.0.0.2
  constexpr uint32_t kStrangerIp = 0x0300007F;  // 127.0.0.3
  const int hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kServerIp;
  ASSERT_EQ(::bind(hListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(hListener, 1), 0);
  socklen_t cbAddress = sizeof address;
  ::getsockname(hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  const UdpPeer player[2] = {UdpPeer(test::kLoopbackIp), UdpPeer(test::kLoopbackIp)};
  const UdpPeer server[2] = {UdpPeer(kServerIp), UdpPeer(kServerIp)};
  const UdpPeer stranger(kStrangerIp);

  test::SessionFixture session(true);
  session.Start(PnaSessionFactory());
  const std::string sStart = Port(player[0].Port()) + "PNA" + Port(10) + Port(7) + Port(2) + Port(player[1].Port());
  session.Type(Header("127.0.0.2", ntohs(address.sin_port), 1) + sStart);
  int hServer = -1;
  std::string sFirst;
  ASSERT_TRUE(session.StepUntil([&] {
    if (hServer < 0) hServer = ::accept4(hListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    char buffer[64];
    const ssize_t n = hServer < 0 ? -1 : ::recv(hServer, buffer, sizeof buffer, 0);
    if (n > 0) sFirst.append(buffer, static_cast<size_t>(n));
    return sFirst.size() >= sStart.size();
  }));
  ASSERT_EQ(sFirst.size(), sStart.size());
  const uint16_t awProxy[2] = {PortAt(sFirst, 0), PortAt(sFirst, 11)};
  EXPECT_EQ(sFirst.substr(2, 9), sStart.substr(2, 9));
  for (uint16_t wProxy : awProxy) EXPECT_TRUE(wProxy != player[0].Port() && wProxy != player[1].Port());
  const std::string sAnswer = "PNA" + std::string(6, '\0') + "O" + Port(8) + Port(7) + Port(server[1].Port());
  ASSERT_EQ(::send(hServer, sAnswer.data(), sAnswer.size(), 0), static_cast<ssize_t>(sAnswer.size()));
  ASSERT_TRUE(session.WaitFor(pna::SuccessReply() + sAnswer));

  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const std::string sDown = "down " + std::to_string(i);
    const std::string sUp = "up " + std::to_string(i);
    server[i].SendTo(awProxy[i], sDown);
    uint16_t wFrom = 0;
    std::string sGot;
    ASSERT_TRUE(session.StepUntil([&] { return !(sGot = player[i].Take(&wFrom)).empty(); }));
    EXPECT_EQ(sGot, sDown);
    EXPECT_EQ(wFrom, awProxy[i]);
    stranger.SendTo(awProxy[i], "stranger");
    session.Step();
    player[i].SendTo(awProxy[i], sUp);
    ASSERT_TRUE(session.StepUntil([&] { return !(sGot = server[i].Take(&wFrom)).empty(); }));
    EXPECT_EQ(sGot, sUp);
    EXPECT_EQ(wFrom, awProxy[i]);
  }
  ::close(hServer);
  ::close(hListener);
}

TEST(PnaIdleTest, APlayerThatSaysNothingIsLetGo) {
  test::SessionFixture session;
  session.Start(PnaSessionFactory());
  session.Advance(PnaSession::kFirstIdleMs);
  EXPECT_TRUE(session.Finished());
}

}  // namespace
}  // namespace harbix
