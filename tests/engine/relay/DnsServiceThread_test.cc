// The DNS service in an engine running in this process, with an upstream server of the test's
// own on 127.0.0.2:53 (the process has a network namespace of its own).
#include "engine/relay/DnsServiceThread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "common/GeneralConfig.h"
#include "engine/Catalog.h"
#include "engine/core/Connections.h"
#include "tests/engine/relay/DnsTestMessages.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::Eventually;

constexpr uint16_t kDnsPort = 15353;
const uint32_t kUpstreamIp = ::inet_addr("127.0.0.2");

class UdpEnd {
 public:
  explicit UdpEnd(uint32_t dwIp = test::kLoopbackIp, uint16_t wPort = 0) : m_hSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = dwIp;
    address.sin_port = htons(wPort);
    m_bBound = ::bind(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~UdpEnd() { ::close(m_hSocket); }
  bool Bound() const { return m_bBound; }

  void SendTo(const std::string& sData, const sockaddr_in& to) {
    ::sendto(m_hSocket, sData.data(), sData.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  void SendToProxy(const std::string& sData) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = test::kLoopbackIp;
    to.sin_port = htons(kDnsPort);
    SendTo(sData, to);
  }
  // One datagram and where it came from, or nothing within the time.
  std::optional<std::pair<std::string, sockaddr_in>> Receive(int nTimeoutMs = 2000) {
    pollfd pfd{m_hSocket, POLLIN, 0};
    if (::poll(&pfd, 1, nTimeoutMs) <= 0) return std::nullopt;
    char buffer[2048];
    sockaddr_in from{};
    socklen_t cbFrom = sizeof from;
    const ssize_t n = ::recvfrom(m_hSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &cbFrom);
    if (n < 0) return std::nullopt;
    return std::make_pair(std::string(buffer, static_cast<size_t>(n)), from);
  }

 private:
  int m_hSocket;
  bool m_bBound = false;
};

std::string ResponseTo(const std::string& sRequest) {
  std::string sResponse = sRequest;
  sResponse[2] = static_cast<char>(sResponse[2] | 0x80);
  return sResponse;
}

uint8_t RcodeOf(const std::string& sReply) { return static_cast<uint8_t>(sReply[3]) & 0x0F; }

class DnsServiceTest : public ::testing::Test {
 protected:
  DnsServiceTest() : m_harness(DefaultCatalog()) {}

  void Start(int32_t nMaxConnections = 0) {
    ASSERT_TRUE(m_upstream.Bound()) << "127.0.0.2:53 needs a network namespace of the test's own";
    test::OnlyServices({ServiceId::Dns});
    GeneralConfig general;
    general.m_nMaxConnections = nMaxConnections;
    WriteGeneralConfig(general);
    ServiceConfig config(ServiceId::Dns);
    config.m_wBindPort = kDnsPort;
    config.m_dwBindIp = test::kLoopbackIp;
    config.m_dns.m_dwDnsServer = kUpstreamIp;
    config.m_dns.m_bForwardOnly = true;
    WriteServiceConfig(config);
    ASSERT_TRUE(m_harness.Start());
    ASSERT_EQ(m_harness.Status(ServiceId::Dns), kStatusRunning);
  }
  ServiceStats Stats() { return m_harness.Stats(ServiceId::Dns); }

  test::TempHome m_home;
  UdpEnd m_upstream{kUpstreamIp, 53};
  test::EngineHarness m_harness;
};

TEST_F(DnsServiceTest, AForwardedRequestCountsAsAConnectionUntilItsAnswer) {
  Start();
  const int32_t nTotalBefore = Connections().m_nTotal.load();
  UdpEnd client;
  const std::string sQuery = test::DnsQuery({{"www.example.test", dns::kTypeA}});
  client.SendToProxy(sQuery);
  const auto forwarded = m_upstream.Receive();
  ASSERT_TRUE(forwarded);
  EXPECT_EQ(forwarded->first, sQuery);
  EXPECT_TRUE(Eventually([&] { return Stats().m_dwActive == 1 && Connections().m_dwActive.load() == 1; }));
  EXPECT_EQ(Connections().m_nTotal.load(), nTotalBefore + 1);

  m_upstream.SendTo(ResponseTo(sQuery), forwarded->second);
  const auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->first, ResponseTo(sQuery));
  EXPECT_EQ(ntohs(reply->second.sin_port), kDnsPort);
  // Received: the query and the answer; sent: the same two.
  EXPECT_TRUE(Eventually([&] {
    const ServiceStats stats = Stats();
    return stats.m_dwActive == 0 && Connections().m_dwActive.load() == 0 && stats.m_qwReceived == 2 * sQuery.size() &&
           stats.m_qwSent == 2 * sQuery.size();
  }));
}

TEST_F(DnsServiceTest, TheConnectionLimitRefusesNewRequestsButNotRetransmissions) {
  Start(1);
  UdpEnd client;
  const std::string sFirst = test::DnsQuery({{"one.example.test", dns::kTypeA}});
  client.SendToProxy(sFirst);
  ASSERT_TRUE(m_upstream.Receive());
  std::string sSecond = sFirst;
  sSecond[1] = 0x35;  // another ID from the same socket
  client.SendToProxy(sSecond);
  const auto refused = client.Receive();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->first.substr(0, 2), sSecond.substr(0, 2));
  EXPECT_EQ(RcodeOf(refused->first), dns::kServerFailure);

  client.SendToProxy(sFirst);  // the same request again: it keeps its place
  const auto again = m_upstream.Receive();
  ASSERT_TRUE(again);
  EXPECT_EQ(Stats().m_dwActive, 1u);
  m_upstream.SendTo(ResponseTo(sFirst), again->second);
  const auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->first, ResponseTo(sFirst));
}

TEST_F(DnsServiceTest, OnlyTheSocketOfAnAnsweredRequestCarriesAnother) {
  Start();
  UdpEnd first;
  UdpEnd second;
  std::string sQuery = test::DnsQuery({{"www.example.test", dns::kTypeA}});
  first.SendToProxy(sQuery);
  const auto answered = m_upstream.Receive();
  ASSERT_TRUE(answered);
  m_upstream.SendTo(ResponseTo(sQuery), answered->second);
  ASSERT_TRUE(first.Receive());

  second.SendToProxy(sQuery);
  const auto reused = m_upstream.Receive();
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->second.sin_port, answered->second.sin_port);
  // A retransmission moves to another socket, and the one it leaves is closed, not kept: an
  // answer to the first transmission could still arrive there.
  second.SendToProxy(sQuery);
  const auto retransmitted = m_upstream.Receive();
  ASSERT_TRUE(retransmitted);
  EXPECT_NE(retransmitted->second.sin_port, reused->second.sin_port);
  m_upstream.SendTo(ResponseTo(sQuery), retransmitted->second);
  ASSERT_TRUE(second.Receive());
  first.SendToProxy(sQuery);
  const auto next = m_upstream.Receive();
  ASSERT_TRUE(next);
  EXPECT_NE(next->second.sin_port, reused->second.sin_port);
  m_upstream.SendTo(ResponseTo(sQuery), reused->second);  // late, to the closed socket
  m_upstream.SendTo(ResponseTo(sQuery), next->second);
  const auto reply = first.Receive();
  ASSERT_TRUE(reply);
  EXPECT_FALSE(first.Receive(200)) << "one answer per request";
}

TEST_F(DnsServiceTest, StoppingGivesBackThePlacesOfUnansweredRequests) {
  Start();
  UdpEnd client;
  for (uint16_t wId = 0; wId < 3; ++wId) {
    std::string sQuery = test::DnsQuery({{"www.example.test", dns::kTypeA}});
    sQuery[1] = static_cast<char>(wId);
    client.SendToProxy(sQuery);
    ASSERT_TRUE(m_upstream.Receive());
  }
  EXPECT_TRUE(Eventually([&] { return Connections().m_dwActive.load() == 3; }));
  m_harness.Stop();
  EXPECT_EQ(Connections().m_dwActive.load(), 0u);
}

}  // namespace
}  // namespace harbix
