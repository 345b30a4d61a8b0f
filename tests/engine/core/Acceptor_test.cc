#include "engine/core/Acceptor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

constexpr uint32_t kOtherLoopbackIp = 0x0200007F;  // 127.0.0.2

// A session whose only part is a listener that waits for a caller from 127.0.0.1.
class ListeningSession : public Session {
 public:
  explicit ListeningSession(SessionContext&& context) : Session(std::move(context)) {}
  void OnCreate() override {
    m_bListening = m_acceptor.Listen(test::kLoopbackIp, test::kLoopbackIp, [this](Socket&& socket, const SocketAddress& peer) {
      m_accepted = std::move(socket);
      m_peer = peer;
    });
  }
  Acceptor m_acceptor{*this};
  bool m_bListening = false;
  Socket m_accepted;
  SocketAddress m_peer;
};

// A blocking connect to the listener from a chosen local address.
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

TEST(AcceptorTest, OnlyTheExpectedAddressIsTakenAndOthersAreTurnedAwayWhileItWaits) {
  test::SessionFixture fixture;
  ListeningSession* lpSession = nullptr;
  fixture.Start([&](SessionContext&& context) -> std::unique_ptr<Session> {
    auto lpMade = std::make_unique<ListeningSession>(std::move(context));
    lpSession = lpMade.get();
    return lpMade;
  });
  ASSERT_TRUE(lpSession->m_bListening);
  const uint16_t wPort = lpSession->m_acceptor.Address().m_wPort;
  ASSERT_NE(wPort, 0);

  const int hStranger = ConnectFrom(kOtherLoopbackIp, wPort);
  EXPECT_TRUE(fixture.StepUntil([&] { return lpSession->m_acceptor.Refused() == 1; }));
  EXPECT_TRUE(test::ClosedByPeer(hStranger));
  EXPECT_TRUE(lpSession->m_acceptor.Listening());
  EXPECT_FALSE(lpSession->m_accepted);

  const int hExpected = ConnectFrom(test::kLoopbackIp, wPort);
  ASSERT_TRUE(fixture.StepUntil([&] { return lpSession->m_accepted.Valid(); }));
  EXPECT_EQ(lpSession->m_peer.m_dwIp, test::kLoopbackIp);
  EXPECT_FALSE(lpSession->m_acceptor.Listening());  // one connection is all it waits for
  EXPECT_FALSE(test::Listening(wPort));
  ::close(hStranger);
  ::close(hExpected);
}

}  // namespace
}  // namespace harbix
