#include "engine/proxies/PnaSession.h"

#include <gtest/gtest.h>

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

TEST(PnaIdleTest, APlayerThatSaysNothingIsLetGo) {
  test::SessionFixture session;
  session.Start(PnaSessionFactory());
  session.Advance(PnaSession::kFirstIdleMs);
  EXPECT_TRUE(session.Finished());
}

}  // namespace
}  // namespace harbix
