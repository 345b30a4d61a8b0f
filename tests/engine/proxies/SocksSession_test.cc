#include "engine/proxies/SocksSession.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <thread>

#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::TcpTestServer;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}
std::string Port(uint16_t wPort) { return Bytes({wPort >> 8, wPort & 0xFF}); }
const std::string kLoopback = Bytes({127, 0, 0, 1});
const std::string kSixZeros(6, '\0');

std::string Socks4(int nCommand, uint16_t wPort, const std::string& sIp = kLoopback, const std::string& sUser = "user") {
  return Bytes({4, nCommand}) + Port(wPort) + sIp + sUser + '\0';
}
std::string Socks5Ip(int nCommand, uint16_t wPort) { return Bytes({5, nCommand, 0, 1}) + kLoopback + Port(wPort); }
std::string Socks5Name(int nCommand, const std::string& sName, uint16_t wPort) {
  return Bytes({5, nCommand, 0, 3, static_cast<int>(sName.size())}) + sName + Port(wPort);
}
std::string UserPassword(const std::string& sName, const std::string& sPassword) {
  return Bytes({1, static_cast<int>(sName.size())}) + sName + Bytes({static_cast<int>(sPassword.size())}) + sPassword;
}
const std::string kAnonymous = Bytes({5, 1, 0});

SocksSettings WithUsers() {
  SocksSettings settings;
  settings.m_users = {{"alice", "Secret"}, {"bob", "pw"}};
  return settings;
}

// Every stage, both versions: what the client sends in, what it is answered and where the
// negotiation stands, whether the bytes come at once or one at a time.
TEST(SocksNegotiationTest, Stages) {
  struct Case {
    const char* lpName;
    bool bAnonymous;
    int nVersionType;
    std::string sIn;
    std::string sOut;
    SocksNegotiation::State state;
  } cases[] = {
      {"anonymous off, only method 0", false, 2, kAnonymous, Bytes({5, 255}), SocksNegotiation::State::kFailed},
      {"anonymous off, methods 0 and 2", false, 2, Bytes({5, 2, 0, 2}), Bytes({5, 2}), SocksNegotiation::State::kReading},
      {"the client's order decides", true, 2, Bytes({5, 2, 2, 0}), Bytes({5, 2}), SocksNegotiation::State::kReading},
      {"anonymous first", true, 2, Bytes({5, 2, 0, 2}), Bytes({5, 0}), SocksNegotiation::State::kReading},
      {"GSSAPI only", true, 2, Bytes({5, 1, 1}), Bytes({5, 255}), SocksNegotiation::State::kFailed},
      {"no methods", true, 2, Bytes({5, 0}), Bytes({5, 255}), SocksNegotiation::State::kFailed},
      {"not a greeting", true, 2, Bytes({6, 1, 0}), Bytes({5, 255}), SocksNegotiation::State::kFailed},
      {"SOCKS 5 not served", true, 0, kAnonymous, Bytes({5, 255}), SocksNegotiation::State::kFailed},
      {"SOCKS 4 not served", true, 1, Socks4(1, 80), "", SocksNegotiation::State::kSilent},
      {"SOCKS 4 connect", true, 0, Socks4(1, 80) + "ahead", "", SocksNegotiation::State::kRequest},
      {"SOCKS 4 unknown command", true, 2, Socks4(3, 80), Bytes({0, 91}) + kSixZeros, SocksNegotiation::State::kFailed},
      {"SOCKS 4 user id at the cap", true, 2, Socks4(1, 80, kLoopback, std::string(SocksNegotiation::kMaxUserId, 'u')), "",
       SocksNegotiation::State::kRequest},
      {"SOCKS 4 user id past the cap", true, 2,
       Bytes({4, 1}) + Port(80) + kLoopback + std::string(SocksNegotiation::kMaxUserId + 1, 'u'), Bytes({0, 91}) + kSixZeros,
       SocksNegotiation::State::kFailed},
      {"right password", false, 2, Bytes({5, 1, 2}) + UserPassword("alice", "Secret"), Bytes({5, 2, 1, 0}),
       SocksNegotiation::State::kReading},
      {"wrong password", false, 2, Bytes({5, 1, 2}) + UserPassword("alice", "secret"), Bytes({5, 2, 1, 255}),
       SocksNegotiation::State::kFailed},
      {"unknown user", false, 2, Bytes({5, 1, 2}) + UserPassword("Alice", "Secret"), Bytes({5, 2, 1, 255}),
       SocksNegotiation::State::kFailed},
      {"empty password", false, 2, Bytes({5, 1, 2}) + UserPassword("bob", ""), Bytes({5, 2, 1, 255}),
       SocksNegotiation::State::kFailed},
      {"bad sub-negotiation version", false, 2, Bytes({5, 1, 2, 5, 1, 'a', 1, 'b'}), Bytes({5, 2, 1, 255}),
       SocksNegotiation::State::kFailed},
      {"IPv6 address", true, 2, kAnonymous + Bytes({5, 1, 0, 4}) + std::string(18, '\0'), Bytes({5, 0, 5, 8, 0, 1}) + kSixZeros,
       SocksNegotiation::State::kFailed},
      {"command 0", true, 2, kAnonymous + Socks5Ip(0, 80), Bytes({5, 0, 5, 7, 0, 1}) + kSixZeros, SocksNegotiation::State::kFailed},
      {"command 4", true, 2, kAnonymous + Socks5Ip(4, 80), Bytes({5, 0, 5, 7, 0, 1}) + kSixZeros, SocksNegotiation::State::kFailed},
      {"request of another version", true, 2, kAnonymous + Socks4(1, 80), Bytes({5, 0, 5, 255}), SocksNegotiation::State::kFailed},
      {"name with a zero byte", true, 2, kAnonymous + Socks5Name(1, std::string("a\0b", 3), 80),
       Bytes({5, 0, 5, 4, 0, 1}) + kSixZeros, SocksNegotiation::State::kFailed},
      {"connect by name", true, 2, kAnonymous + Socks5Name(1, "example.test", 443), Bytes({5, 0}), SocksNegotiation::State::kRequest},
      {"authenticated request", false, 2, Bytes({5, 1, 2}) + UserPassword("bob", "pw") + Socks5Ip(3, 0), Bytes({5, 2, 1, 0}),
       SocksNegotiation::State::kRequest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    SocksSettings settings = WithUsers();
    settings.m_bAllowAnonymous = c.bAnonymous;
    settings.m_nVersionType = c.nVersionType;
    for (bool bByteByByte : {false, true}) {
      SocksNegotiation negotiation(settings);
      std::string sOut;
      SocksNegotiation::State state = SocksNegotiation::State::kReading;
      if (bByteByByte) {
        for (char ch : c.sIn) {
          state = negotiation.Feed(std::string_view(&ch, 1));
          sOut += negotiation.TakeOutput();
        }
      } else {
        state = negotiation.Feed(c.sIn);
        sOut = negotiation.TakeOutput();
      }
      EXPECT_EQ(state, c.state) << "byte by byte: " << bByteByByte;
      EXPECT_EQ(sOut, c.sOut) << "byte by byte: " << bByteByByte;
    }
  }
}

TEST(SocksNegotiationTest, TheRequestAndWhatFollowsIt) {
  const SocksSettings settings;
  SocksNegotiation v4(settings);
  ASSERT_EQ(v4.Feed(Socks4(2, 0x1234, Bytes({0, 0, 0, 7})) + "early"), SocksNegotiation::State::kRequest);
  EXPECT_TRUE(v4.GetRequest().m_bVersion4);
  EXPECT_EQ(v4.GetRequest().m_bCommand, socks::kBind);
  EXPECT_EQ(v4.GetRequest().m_wPort, 0x1234);
  EXPECT_EQ(v4.GetRequest().m_dwIp, htonl(7));  // no host-name extension: taken as it is
  EXPECT_EQ(v4.TakeRest(), "early");

  SocksNegotiation v5(settings);
  ASSERT_EQ(v5.Feed(kAnonymous + Socks5Name(1, "example.test", 443) + "GET"), SocksNegotiation::State::kRequest);
  EXPECT_FALSE(v5.GetRequest().m_bVersion4);
  EXPECT_EQ(v5.GetRequest().m_sName, "example.test");
  EXPECT_EQ(v5.GetRequest().m_wPort, 443);
  EXPECT_EQ(v5.TakeRest(), "GET");
  // Nothing more is taken once the request is complete.
  EXPECT_EQ(v5.Feed("more"), SocksNegotiation::State::kRequest);
  EXPECT_EQ(v5.TakeRest(), "");
}

TEST(SocksReplyTest, SuccessRepliesNameAddressAndPort) {
  const SocketAddress address{htonl(0x0A000102), 0x1F90};
  EXPECT_EQ(socks::SuccessReply(true, address), Bytes({0, 90, 0x1F, 0x90, 10, 0, 1, 2}));
  EXPECT_EQ(socks::SuccessReply(false, address), Bytes({5, 0, 0, 1, 10, 0, 1, 2, 0x1F, 0x90}));
}

TEST(SocksDatagramTest, ClientHeaders) {
  // The payload is a view into the datagram, which must outlive it.
  const std::string sIp = Bytes({0, 0, 0, 1, 127, 0, 0, 2, 0, 53}) + "query";
  const std::optional<socks::ClientDatagram> ip = socks::ParseClientDatagram(sIp);
  ASSERT_TRUE(ip);
  EXPECT_EQ(ip->m_dwIp, htonl(0x7F000002));
  EXPECT_EQ(ip->m_wPort, 53);
  EXPECT_EQ(ip->m_sPayload, "query");
  const std::string sName = Bytes({0, 0, 0, 3, 4}) + "host" + Port(7) + "x";
  const std::optional<socks::ClientDatagram> name = socks::ParseClientDatagram(sName);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->m_sName, "host");
  EXPECT_EQ(name->m_wPort, 7);
  EXPECT_EQ(name->m_sPayload, "x");
  for (const std::string& sDropped : {Bytes({0, 0, 1, 1, 127, 0, 0, 2, 0, 53}) + "fragment",
                                      Bytes({0, 0, 0x81, 1, 127, 0, 0, 2, 0, 53}), Bytes({0, 0, 0, 1, 127, 0, 0, 2, 0}),
                                      Bytes({0, 0, 0, 4}) + std::string(18, '\0'), Bytes({0, 0, 0, 3, 4}) + "hos",
                                      Bytes({0, 0, 0, 3, 0, 0, 7}), Bytes({0, 0, 0})}) {
    EXPECT_FALSE(socks::ParseClientDatagram(sDropped)) << sDropped.size();
  }
}

TEST(SocksDatagramTest, RemoteDatagramsTooLargeForOneAreFragmented) {
  const SocketAddress from{htonl(0x7F000002), 9};
  const std::string sHeader = Bytes({0, 0, 0, 1, 127, 0, 0, 2, 0, 9});
  struct Case {
    size_t cbPayload;
    size_t cbMax;
    std::vector<size_t> vPieces;  // payload bytes in each datagram
  } cases[] = {
      {90, 100, {90}},                  // fits exactly
      {91, 100, {90, 1}},
      {180, 100, {90, 90, 0}},          // an exact multiple: the last carries the header alone
      {65507, 65507, {65497, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cbPayload);
    std::string sPayload(c.cbPayload, '\0');
    for (size_t i = 0; i < sPayload.size(); ++i) sPayload[i] = static_cast<char>(test::PatternByte(i));
    const std::vector<std::string> vDatagrams = socks::WrapRemoteDatagram(from, sPayload, c.cbMax);
    ASSERT_EQ(vDatagrams.size(), c.vPieces.size());
    std::string sJoined;
    for (size_t i = 0; i < vDatagrams.size(); ++i) {
      const std::string& s = vDatagrams[i];
      ASSERT_EQ(s.size(), socks::kDatagramHeader + c.vPieces[i]);
      EXPECT_LE(s.size(), c.cbMax);
      int nFrag = 0;
      if (vDatagrams.size() > 1) nFrag = static_cast<int>(i + 1) | (i + 1 == vDatagrams.size() ? 0x80 : 0);
      EXPECT_EQ(static_cast<uint8_t>(s[2]), nFrag);
      std::string sExpectedHeader = sHeader;
      sExpectedHeader[2] = static_cast<char>(nFrag);
      EXPECT_EQ(s.substr(0, socks::kDatagramHeader), sExpectedHeader);
      sJoined += s.substr(socks::kDatagramHeader);
    }
    EXPECT_EQ(sJoined, sPayload);
  }
}

class SocksSessionTest : public ::testing::Test {
 protected:
  void Start() { m_session.Start(SocksSessionFactory()); }
  bool ClosedAfter(const std::string& sReply) {
    return m_session.StepUntil([&] { return m_session.UserSeesClose(); }, 30000) && m_session.Received() == sReply;
  }
  test::SessionFixture m_session;
};

// The answers a client sees for the requests that go wrong, and the connection closing after.
TEST(SocksFailureTest, EachFailureIsAnsweredAndTheConnectionCloses) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  const uint16_t wClosed = test::ClosedPort();
  struct Case {
    const char* lpName;
    bool bAnonymous;
    int nVersionType;
    bool bDenyLoopback;
    std::string sRequest;
    std::string sReply;
  } cases[] = {
      {"anonymous off, only method 0", false, 2, false, kAnonymous, Bytes({5, 255})},
      {"SOCKS 4 while only 5 is served", true, 1, false, Socks4(1, echo.Port()), ""},
      {"SOCKS 5 while only 4 is served", true, 0, false, kAnonymous, Bytes({5, 255})},
      {"IPv6", true, 2, false, kAnonymous + Bytes({5, 1, 0, 4}) + std::string(18, '\0'), Bytes({5, 0, 5, 8, 0, 1}) + kSixZeros},
      {"SOCKS 4 unreachable", true, 2, false, Socks4(1, wClosed), Bytes({0, 91}) + kSixZeros},
      {"SOCKS 5 unreachable", true, 2, false, kAnonymous + Socks5Ip(1, wClosed), Bytes({5, 0, 5, 5, 0, 1}) + kSixZeros},
      {"name without address", true, 2, false, kAnonymous + Socks5Name(1, "no.such.host.invalid", 80),
       Bytes({5, 0, 5, 4, 0, 1}) + kSixZeros},
      {"BIND name without address", true, 2, false, kAnonymous + Socks5Name(2, "no.such.host.invalid", 80),
       Bytes({5, 0, 5, 4, 0, 1}) + kSixZeros},
      {"outgoing list refuses", true, 2, true, kAnonymous + Socks5Ip(1, echo.Port()), Bytes({5, 0, 5, 5, 0, 1}) + kSixZeros},
      {"SOCKS 4 outgoing list refuses", true, 2, true, Socks4(1, echo.Port()), Bytes({0, 91}) + kSixZeros},
      {"wrong password", false, 2, false, Bytes({5, 1, 2}) + UserPassword("alice", "wrong"), Bytes({5, 2, 1, 255})},
      {"SOCKS 4 user id past the cap", true, 2, false,
       Bytes({4, 1}) + Port(echo.Port()) + kLoopback + std::string(SocksNegotiation::kMaxUserId + 100, 'u'),
       Bytes({0, 91}) + kSixZeros},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    test::SessionFixture session;
    session.m_config.m_socks = WithUsers();
    session.m_config.m_socks.m_bAllowAnonymous = c.bAnonymous;
    session.m_config.m_socks.m_nVersionType = c.nVersionType;
    if (c.bDenyLoopback) session.m_config.m_outgoing.Add({test::kLoopbackIp, 0xFFFFFFFF});
    session.Start(SocksSessionFactory());
    session.Type(c.sRequest);
    ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }, 30000));
    EXPECT_EQ(session.Received(), c.sReply);
    EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
  }
  EXPECT_EQ(echo.Accepted(), 0u);
}

TEST(SocksConnectTest, EachWayToConnectRelaysBothWays) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  const std::string sGranted5 = Bytes({5, 0, 0, 1}) + kLoopback + Port(echo.Port());
  struct Case {
    const char* lpName;
    bool bAnonymous;
    std::string sRequest;
    std::string sReply;
  } cases[] = {
      {"SOCKS 4", true, Socks4(1, echo.Port()), Bytes({0, 90}) + Port(echo.Port()) + kLoopback},
      {"SOCKS 5 by address", true, kAnonymous + Socks5Ip(1, echo.Port()), Bytes({5, 0}) + sGranted5},
      {"SOCKS 5 by name", true, kAnonymous + Socks5Name(1, "localhost", echo.Port()), Bytes({5, 0}) + sGranted5},
      {"SOCKS 5 with a password", false, Bytes({5, 2, 0, 2}) + UserPassword("alice", "Secret") + Socks5Ip(1, echo.Port()),
       Bytes({5, 2, 1, 0}) + sGranted5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    test::SessionFixture session;
    session.m_config.m_socks = WithUsers();
    session.m_config.m_socks.m_bAllowAnonymous = c.bAnonymous;
    session.Start(SocksSessionFactory());
    // What the client sends ahead of the reply reaches the server too.
    session.Type(c.sRequest + "ahead;");
    ASSERT_TRUE(session.WaitFor(c.sReply + "ahead;"));
    session.Type("ping");
    ASSERT_TRUE(session.WaitFor(c.sReply + "ahead;ping"));
    EXPECT_EQ(session.Received(), c.sReply + "ahead;ping");
  }
}

// A server that sends its answer and closes: every byte arrives before the close.
TEST_F(SocksSessionTest, TheServersLastBytesArriveBeforeTheClose) {
  constexpr uint64_t kBytes = 3 << 20;
  TcpTestServer source(TcpTestServer::Mode::Source, kBytes);
  Start();
  m_session.Type(kAnonymous + Socks5Ip(1, source.Port()));
  const size_t cbReplies = 12;
  ASSERT_TRUE(m_session.StepUntil([&] { return m_session.UserSeesClose(); }, 20000));
  const std::string& sReceived = m_session.Received();
  ASSERT_EQ(sReceived.size(), cbReplies + kBytes);
  bool bIntact = true;
  for (uint64_t i = 0; i < kBytes && bIntact; ++i) bIntact = static_cast<uint8_t>(sReceived[cbReplies + i]) == test::PatternByte(i);
  EXPECT_TRUE(bIntact);
  // The end was passed on: the client's direction stays open until the client ends it too.
  m_session.UserHangsUp();
  EXPECT_TRUE(m_session.StepUntil([&] { return m_session.Finished(); }));
}

// A client that sends its request and its data and then the end of its stream still gets the
// server's answer: the end is passed on instead of ending the session. The server answers only
// once it has read the end.
TEST_F(SocksSessionTest, AClientsEndIsPassedOnAndTheAnswerStillComes) {
  const int hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = test::kLoopbackIp;
  ASSERT_EQ(::bind(hListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(hListener, 1), 0);
  socklen_t cbAddress = sizeof address;
  ::getsockname(hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  const uint16_t wPort = ntohs(address.sin_port);
  std::thread server([hListener] {
    const int hConnection = ::accept(hListener, nullptr, nullptr);
    if (hConnection < 0) return;
    const std::string sQuestion = test::RecvSome(hConnection, 1 << 20, 10000);  // up to the end
    test::SendAll(hConnection, "answer to " + sQuestion);
    ::close(hConnection);
  });
  Start();
  m_session.Type(Socks4(1, wPort) + "question");
  m_session.UserHangsUp();
  const std::string sReply = Bytes({0, 90}) + Port(wPort) + kLoopback;
  EXPECT_TRUE(m_session.StepUntil([&] { return m_session.UserSeesClose(); }, 30000));
  EXPECT_EQ(m_session.Received(), sReply + "answer to question");
  EXPECT_TRUE(m_session.StepUntil([&] { return m_session.Finished(); }));
  server.join();
  ::close(hListener);
}

TEST(SocksBindTest, BothRepliesThenTheRelayToTheConnector) {
  for (bool bVersion4 : {true, false}) {
    SCOPED_TRACE(bVersion4 ? "SOCKS 4" : "SOCKS 5");
    test::SessionFixture session;
    session.m_config.m_socks = WithUsers();
    session.Start(SocksSessionFactory());
    session.Type(bVersion4 ? Socks4(2, 21) : kAnonymous + Socks5Ip(2, 21));
    const size_t cbGreeting = bVersion4 ? 0 : 2;
    const size_t cbReply = bVersion4 ? 8 : 10;
    ASSERT_TRUE(session.StepUntil([&] { return session.Received().size() >= cbGreeting + cbReply; }));
    const std::string sFirst = session.Received().substr(cbGreeting);
    // The test's client connection is no IPv4 one: the address stays the listener's own.
    const size_t nPort = bVersion4 ? 2 : 8;
    const uint16_t wPort = static_cast<uint16_t>(static_cast<uint8_t>(sFirst[nPort]) << 8 | static_cast<uint8_t>(sFirst[nPort + 1]));
    EXPECT_EQ(sFirst, bVersion4 ? Bytes({0, 90}) + Port(wPort) + std::string(4, '\0')
                                : Bytes({5, 0, 0, 1}) + std::string(4, '\0') + Port(wPort));
    const int hPeer = test::ConnectTcp(wPort);
    ASSERT_GE(hPeer, 0);
    sockaddr_in local{};
    socklen_t cbLocal = sizeof local;
    ::getsockname(hPeer, reinterpret_cast<sockaddr*>(&local), &cbLocal);
    const uint16_t wPeerPort = ntohs(local.sin_port);
    const std::string sSecond =
        bVersion4 ? Bytes({0, 90}) + Port(wPeerPort) + kLoopback : Bytes({5, 0, 0, 1}) + kLoopback + Port(wPeerPort);
    ASSERT_TRUE(session.WaitFor(sFirst + sSecond));
    ASSERT_TRUE(test::SendAll(hPeer, "from the peer"));
    ASSERT_TRUE(session.WaitFor(sSecond + "from the peer"));
    session.Type("from the client");
    std::string sAtPeer;
    ASSERT_TRUE(session.StepUntil([&] {
      char buffer[64];
      const ssize_t n = ::recv(hPeer, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) sAtPeer.append(buffer, static_cast<size_t>(n));
      return sAtPeer == "from the client";
    }));
    ::close(hPeer);
  }
}

TEST(SocksIdleTest, BindWaitsBeyondTheIdlePeriodsAndConnectDoesNot) {
  TcpTestServer hold(TcpTestServer::Mode::Hold);
  for (bool bBind : {true, false}) {
    SCOPED_TRACE(bBind ? "BIND" : "CONNECT");
    test::SessionFixture session;
    session.Start(SocksSessionFactory());
    session.Type(kAnonymous + Socks5Ip(bBind ? 2 : 1, hold.Port()));
    ASSERT_TRUE(session.StepUntil([&] { return session.Received().size() >= 12; }));
    session.Advance(SocksSession::kFirstIdleMs);
    for (int i = 0; i < 3; ++i) session.Advance(kIdlePeriodMs);
    EXPECT_EQ(session.Finished(), !bBind);
  }
}

TEST(SocksHangUpTest, AClientThatLeavesWhileBindWaitsEndsTheSession) {
  test::SessionFixture session;
  session.Start(SocksSessionFactory());
  session.Type(Socks4(2, 21));
  ASSERT_TRUE(session.StepUntil([&] { return session.Received().size() >= 8; }));
  session.UserHangsUp();
  EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
}

}  // namespace
}  // namespace harbix
