// The sockets a session can own besides its relays: a listener that waits for one connection
// from anyone, and a UDP port whose datagrams come to the session and whose sends are counted.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/core/DatagramPort.h"
#include "engine/core/Acceptor.h"
#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

// A session that only holds the parts under test; the test drives them.
class PartsSession : public Session {
 public:
  explicit PartsSession(SessionContext&& context) : Session(std::move(context)) {}
  Acceptor m_listener{*this};
  DatagramPort m_port{*this};
};

struct Parts {
  test::SessionFixture fixture;
  PartsSession* lpSession = nullptr;
  Parts() {
    fixture.Start([this](SessionContext&& context) -> std::unique_ptr<Session> {
      auto lpMade = std::make_unique<PartsSession>(std::move(context));
      lpSession = lpMade.get();
      return lpMade;
    });
  }
};

TEST(AcceptorTest, ForAnyPeerTakesOneConnectionAndThenNoMore) {
  Parts parts;
  int nAccepted = 0;
  SocketAddress accepted{};
  Socket kept;
  ASSERT_TRUE(parts.lpSession->m_listener.Listen(test::kLoopbackIp, Acceptor::kAnyPeer,
                                                 [&](Socket&& socket, const SocketAddress& peer) {
                                                   ++nAccepted;
                                                   accepted = peer;
                                                   kept = std::move(socket);
                                                 }));
  const SocketAddress local = parts.lpSession->m_listener.Address();
  ASSERT_NE(local.m_wPort, 0);
  const int hFirst = test::ConnectTcp(local.m_wPort);
  ASSERT_GE(hFirst, 0);
  ASSERT_TRUE(parts.fixture.StepUntil([&] { return nAccepted == 1; }));
  EXPECT_TRUE(kept.Valid());
  EXPECT_EQ(accepted.m_dwIp, test::kLoopbackIp);
  EXPECT_FALSE(parts.lpSession->m_listener.Listening());
  // Nobody comes in behind the one that was waited for.
  EXPECT_FALSE(test::Listening(local.m_wPort));
  ::close(hFirst);
}

int UdpSocketAt(uint32_t dwIp, uint16_t* pwPort) {
  const int hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = dwIp;
  ::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t cb = sizeof address;
  ::getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &cb);
  *pwPort = ntohs(address.sin_port);
  timeval timeout{5, 0};
  ::setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return hSocket;
}

TEST(DatagramPortTest, DatagramsBothWaysAreCountedAndTheLargestArrivesWhole) {
  Parts parts;
  std::vector<std::string> vReceived;
  SocketAddress from{};
  constexpr size_t kMax = 65507;
  ASSERT_TRUE(parts.lpSession->m_port.Open(test::kLoopbackIp, kMax, [&](const SocketAddress& source, std::string_view sData) {
    from = source;
    vReceived.emplace_back(sData);
  }));
  SocketAddress local;
  ASSERT_TRUE(parts.lpSession->m_port.LocalAddress(&local));
  uint16_t wPeerPort = 0;
  const int hPeer = UdpSocketAt(test::kLoopbackIp, &wPeerPort);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = test::kLoopbackIp;
  to.sin_port = htons(local.m_wPort);
  const std::string sLargest(kMax, 'L');
  for (const std::string& s : {std::string("hello"), sLargest}) {
    ASSERT_EQ(::sendto(hPeer, s.data(), s.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), static_cast<ssize_t>(s.size()));
  }
  ASSERT_TRUE(parts.fixture.StepUntil([&] { return vReceived.size() == 2; }));
  EXPECT_EQ(vReceived[0], "hello");
  EXPECT_EQ(vReceived[1], sLargest);
  EXPECT_EQ(from.m_wPort, wPeerPort);
  EXPECT_EQ(parts.fixture.Counters().m_qwReceived.load(), 5 + kMax);

  ASSERT_TRUE(parts.lpSession->m_port.SendTo({test::kLoopbackIp, wPeerPort}, "answer"));
  char buffer[16];
  EXPECT_EQ(::recv(hPeer, buffer, sizeof buffer, 0), 6);
  EXPECT_EQ(parts.fixture.Counters().m_qwSent.load(), 6u);
  ::close(hPeer);
}

// A closed port neither hands on what comes to its old address nor sends any more.
TEST(DatagramPortTest, AClosedPortTakesAndSendsNothing) {
  Parts parts;
  int nReceived = 0;
  ASSERT_TRUE(parts.lpSession->m_port.Open(test::kLoopbackIp, 512, [&](const SocketAddress&, std::string_view) { ++nReceived; }));
  SocketAddress local;
  ASSERT_TRUE(parts.lpSession->m_port.LocalAddress(&local));
  parts.lpSession->m_port.Close();
  EXPECT_FALSE(parts.lpSession->m_port.Valid());
  uint16_t wPeerPort = 0;
  const int hPeer = UdpSocketAt(test::kLoopbackIp, &wPeerPort);
  EXPECT_FALSE(parts.lpSession->m_port.SendTo({test::kLoopbackIp, wPeerPort}, "late"));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = test::kLoopbackIp;
  to.sin_port = htons(local.m_wPort);
  ::sendto(hPeer, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  parts.fixture.Step();
  EXPECT_EQ(nReceived, 0);
  char buffer[8];
  EXPECT_EQ(::recv(hPeer, buffer, sizeof buffer, MSG_DONTWAIT), -1);
  ::close(hPeer);
}

}  // namespace
}  // namespace harbix
