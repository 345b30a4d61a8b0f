// Port maps in an engine running in this process, with loopback servers on the far side.
#include "engine/relay/PortMap.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "common/MapRecord.h"
#include "engine/core/Connections.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/TestCatalog.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::Eventually;

constexpr uint16_t kMapPort = 15353;

int UdpSocket(uint16_t wPort = 0) {
  const int hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = test::kLoopbackIp;
  address.sin_port = htons(wPort);
  ::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return hSocket;
}

uint16_t PortOf(int hSocket) {
  sockaddr_in address{};
  socklen_t cbAddress = sizeof address;
  ::getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  return ntohs(address.sin_port);
}

void SendTo(int hSocket, uint16_t wPort, const std::string& sData) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = test::kLoopbackIp;
  to.sin_port = htons(wPort);
  ::sendto(hSocket, sData.data(), sData.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// One datagram and its sender, or nothing within the time.
std::optional<std::pair<std::string, uint16_t>> ReceiveFrom(int hSocket, int nTimeoutMs = 2000) {
  pollfd pfd{hSocket, POLLIN, 0};
  if (::poll(&pfd, 1, nTimeoutMs) <= 0) return std::nullopt;
  char buffer[2048];
  sockaddr_in from{};
  socklen_t cbFrom = sizeof from;
  const ssize_t n = ::recvfrom(hSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &cbFrom);
  if (n < 0) return std::nullopt;
  return std::make_pair(std::string(buffer, static_cast<size_t>(n)), ntohs(from.sin_port));
}

// Answers each datagram with "re:" and the datagram, and remembers the source ports it saw.
class UdpEchoServer {
 public:
  explicit UdpEchoServer(uint16_t wPort = 0) : m_hSocket(UdpSocket(wPort)), m_thread([this] { Serve(); }) {}
  ~UdpEchoServer() {
    m_bStop = true;
    m_thread.join();
    ::close(m_hSocket);
  }
  uint16_t Port() const { return PortOf(m_hSocket); }
  std::vector<uint16_t> Sources() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_vSources;
  }
  bool m_bAnswer = true;

 private:
  void Serve() {
    while (!m_bStop) {
      std::optional<std::pair<std::string, uint16_t>> datagram = ReceiveFrom(m_hSocket, 50);
      if (!datagram) continue;
      {
        std::lock_guard<std::mutex> guard(m_lock);
        m_vSources.push_back(datagram->second);
      }
      if (m_bAnswer) SendTo(m_hSocket, datagram->second, "re:" + datagram->first);
    }
  }

  int m_hSocket;
  std::atomic<bool> m_bStop{false};
  std::mutex m_lock;
  std::vector<uint16_t> m_vSources;
  std::thread m_thread;
};

class PortMapTest : public ::testing::Test {
 protected:
  PortMapTest() : m_harness(test::TestRelayCatalog({test::kLoopbackIp, 1})) { test::OnlyServices({}); }

  static MapRecord Map(uint16_t wDestPort, MapServiceType type) {
    MapRecord map;
    map.m_wBindPort = kMapPort;
    map.m_sDestHost = "127.0.0.1";
    map.m_wDestPort = wDestPort;
    map.m_serviceType = type;
    map.m_incoming.SetDeny(true);  // nobody refused
    return map;
  }
  std::vector<Engine::MapStats> Maps() {
    std::vector<Engine::MapStats> vMaps;
    m_harness.engine().Call([&] { vMaps = m_harness.engine().RefreshMapStats(); });
    return vMaps;
  }
  bool MapRunning() {
    std::vector<Engine::MapStats> vMaps = Maps();
    return vMaps.size() == 1 && vMaps[0].m_stats.m_bStatus == kStatusRunning;
  }

  test::TempHome m_home;
  test::EngineHarness m_harness;
};

TEST_F(PortMapTest, UdpAnswersComeBackFromTheMapsAddress) {
  UdpEchoServer server;
  WriteMapRecords({Map(server.Port(), MapServiceType::Udp)});
  ASSERT_TRUE(m_harness.Start());
  ASSERT_TRUE(Eventually([&] { return MapRunning(); }));

  const int hClient = UdpSocket();
  SendTo(hClient, kMapPort, "one");
  std::optional<std::pair<std::string, uint16_t>> reply = ReceiveFrom(hClient);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->first, "re:one");
  EXPECT_EQ(reply->second, kMapPort);
  // The answer ended the client's peer: it no longer counts. Both datagrams were received once
  // and sent once.
  EXPECT_TRUE(Eventually([&] {
    const ServiceStats stats = Maps()[0].m_stats;
    return stats.m_dwActive == 0 && stats.m_qwReceived == 3 + 6 && stats.m_qwSent == 3 + 6 &&
           Connections().m_dwActive.load() == 0;
  }));
  ::close(hClient);
}

TEST_F(PortMapTest, DatagramsBeforeTheAnswerShareOneForwardingSocket) {
  UdpEchoServer server;
  server.m_bAnswer = false;
  WriteMapRecords({Map(server.Port(), MapServiceType::Udp)});
  ASSERT_TRUE(m_harness.Start());
  ASSERT_TRUE(Eventually([&] { return MapRunning(); }));
  const int hClient = UdpSocket();
  SendTo(hClient, kMapPort, "a");
  SendTo(hClient, kMapPort, "b");
  ASSERT_TRUE(Eventually([&] { return server.Sources().size() == 2; }));
  EXPECT_EQ(server.Sources()[0], server.Sources()[1]);
  EXPECT_TRUE(Eventually([&] { return Maps()[0].m_stats.m_dwActive == 1; })) << "one peer, one connection";
  ::close(hClient);
}

TEST_F(PortMapTest, WithoutWaitReplyDatagramsTravelOneWay) {
  UdpEchoServer server;
  MapRecord map = Map(server.Port(), MapServiceType::Udp);
  map.m_bWaitReply = false;
  WriteMapRecords({map});
  ASSERT_TRUE(m_harness.Start());
  ASSERT_TRUE(Eventually([&] { return MapRunning(); }));
  const int hClient = UdpSocket();
  SendTo(hClient, kMapPort, "fire and forget");
  ASSERT_TRUE(Eventually([&] { return server.Sources().size() == 1; }));
  EXPECT_FALSE(ReceiveFrom(hClient, 300));
  EXPECT_EQ(Maps()[0].m_stats.m_dwActive, 0u);
  ::close(hClient);
}

TEST_F(PortMapTest, TcpAndUdpTogether) {
  test::TcpTestServer tcp(test::TcpTestServer::Mode::Echo);
  UdpEchoServer udp(tcp.Port());  // the same port number on the other transport
  WriteMapRecords({Map(tcp.Port(), MapServiceType::TcpAndUdp)});
  ASSERT_TRUE(m_harness.Start());
  ASSERT_TRUE(Eventually([&] { return MapRunning(); }));
  const int hTcp = test::ConnectTcp(kMapPort);
  ASSERT_TRUE(test::SendAll(hTcp, "tcp"));
  EXPECT_EQ(test::RecvSome(hTcp, 3), "tcp");
  ::close(hTcp);
  const int hUdp = UdpSocket();
  SendTo(hUdp, kMapPort, "udp");
  std::optional<std::pair<std::string, uint16_t>> reply = ReceiveFrom(hUdp);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->first, "re:udp");
  ::close(hUdp);
}

TEST_F(PortMapTest, ANewMapAdmitsNobodyAndAnUnresolvableOneEnds) {
  test::TcpTestServer tcp(test::TcpTestServer::Mode::Echo);
  MapRecord closed = Map(tcp.Port(), MapServiceType::Tcp);
  closed.m_incoming = AccessList(false);  // the default: an allow list with no entries
  MapRecord nowhere = Map(tcp.Port(), MapServiceType::Tcp);
  nowhere.m_wBindPort = kMapPort + 1;
  nowhere.m_sDestHost = "no.such.host.invalid";
  WriteMapRecords({closed, nowhere});
  ASSERT_TRUE(m_harness.Start());
  ASSERT_TRUE(Eventually([&] { return Maps().size() == 1 && Maps()[0].m_stats.m_bStatus == kStatusRunning; }, 30000));
  EXPECT_EQ(Maps()[0].m_wBindPort, kMapPort) << "the unresolvable map left the list";
  EXPECT_FALSE(test::Listening(kMapPort + 1));
  const int hClient = test::ConnectTcp(kMapPort);
  ASSERT_GE(hClient, 0);
  EXPECT_TRUE(test::ClosedByPeer(hClient));
  ::close(hClient);
  EXPECT_EQ(tcp.Accepted(), 0u);
}

TEST_F(PortMapTest, ChangingOnlyUseThreadsKeepsTheMapRunning) {
  test::TcpTestServer tcp(test::TcpTestServer::Mode::Echo);
  MapRecord map = Map(tcp.Port(), MapServiceType::Tcp);
  WriteMapRecords({map});
  ASSERT_TRUE(m_harness.Start());
  ASSERT_TRUE(Eventually([&] { return MapRunning(); }));
  const int hClient = test::ConnectTcp(kMapPort);
  ASSERT_TRUE(test::SendAll(hClient, "x"));
  ASSERT_EQ(test::RecvSome(hClient, 1), "x");

  map.m_bUseThreads = false;
  WriteMapRecords({map});
  m_harness.engine().Call([&] { m_harness.engine().ReloadMaps(); });
  ASSERT_TRUE(test::SendAll(hClient, "y"));
  EXPECT_EQ(test::RecvSome(hClient, 1), "y") << "the session survived: the map was not restarted";

  map.m_wDestPort = static_cast<uint16_t>(tcp.Port() + 1);  // a real change restarts it
  WriteMapRecords({map});
  m_harness.engine().Call([&] { m_harness.engine().ReloadMaps(); });
  EXPECT_TRUE(test::ClosedByPeer(hClient));
  ::close(hClient);
  EXPECT_TRUE(Eventually([&] { return MapRunning(); }));
}

}  // namespace
}  // namespace harbix
