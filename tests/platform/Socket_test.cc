#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace harbix {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order

// A proxy binds its outgoing sockets to an address before connecting them. If "any port" took a
// port at the bind, every outgoing connection would need one of its own, whatever its
// destination, and a busy engine would run out of them; taken at the connect, ports are shared
// among destinations.
TEST(SocketTest, AnOutgoingStreamSocketGetsItsPortAtTheConnectNotAtTheBind) {
  Socket listener = Socket::Tcp();
  ASSERT_TRUE(listener.Bind(kLoopback, 0));
  ASSERT_TRUE(listener.Listen(4));
  SocketAddress server;
  ASSERT_TRUE(listener.LocalAddress(&server));
  ASSERT_NE(server.m_wPort, 0) << "a listener still gets its port when it listens";

  Socket outgoing = Socket::Tcp();
  ASSERT_TRUE(outgoing.Bind(kLoopback, 0));
  SocketAddress bound;
  ASSERT_TRUE(outgoing.LocalAddress(&bound));
  EXPECT_EQ(bound.m_wPort, 0) << "the bind took a port of its own";
  const int nResult = outgoing.Connect(server.m_dwIp, server.m_wPort);
  ASSERT_TRUE(nResult == 0 || errno == EINPROGRESS || errno == EWOULDBLOCK);
  SocketAddress connected;
  ASSERT_TRUE(outgoing.LocalAddress(&connected));
  EXPECT_NE(connected.m_wPort, 0);
  EXPECT_EQ(connected.m_dwIp, kLoopback);
}

}  // namespace
}  // namespace harbix
