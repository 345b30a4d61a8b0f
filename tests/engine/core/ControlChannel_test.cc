// The control channel spoken in raw datagrams to an engine running in this process.
#include "engine/core/ControlChannel.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "common/ControlMessage.h"
#include "common/MapRecord.h"
#include "engine/core/Connections.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/RawControlClient.h"
#include "tests/support/TestCatalog.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using namespace control;
using test::EngineHarness;
using test::Eventually;
using test::TcpTestServer;

constexpr uint16_t kTelnetPort = 12323;

using RawClient = test::RawControlClient;

class ControlChannelTest : public ::testing::Test {
 protected:
  ControlChannelTest() : m_harness(test::TestRelayCatalog({test::kLoopbackIp, m_echo.Port()})) {}

  void StartTelnetOnly() {
    test::OnlyServices({ServiceId::Telnet});
    test::ConfigureService(ServiceId::Telnet, kTelnetPort);
    ASSERT_TRUE(m_harness.Start());
  }

  test::TempHome m_home;
  TcpTestServer m_echo{TcpTestServer::Mode::Echo};
  EngineHarness m_harness;
};

TEST_F(ControlChannelTest, HelloGivesACookieThatStaysWithThePort) {
  StartTelnetOnly();
  RawClient client;
  client.Send(kHello);
  std::optional<ControlMessage> reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->m_bType, kHello);
  ASSERT_EQ(reply->m_sPayload.size(), 8u);
  const uint32_t dwCookie = GetU32(reply->m_sPayload, 0);
  EXPECT_GE(dwCookie, 1u);
  EXPECT_LE(dwCookie, 32767u);
  EXPECT_EQ(static_cast<int32_t>(GetU32(reply->m_sPayload, 4)), m_harness.engine().StartTime());
  EXPECT_EQ(client.Hello(), dwCookie);
  EXPECT_EQ(client.Hello(), dwCookie);
}

TEST_F(ControlChannelTest, StatusRepliesCarryTheirLayout) {
  StartTelnetOnly();
  RawClient client;
  const uint32_t dwCookie = client.Hello();

  client.SendWithCookie(kStatusAll, dwCookie);
  std::optional<ControlMessage> all = client.Receive();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->m_bType, 0x80);
  ASSERT_EQ(all->m_sPayload.size(), 38u);
  std::optional<EngineStatus> status = ParseEngineStatus(all->m_sPayload);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->m_abServices[6], kStatusRunning);
  EXPECT_EQ(status->m_abServices[1], kStatusShutDown);
  for (size_t n = 0; n < 7; ++n) EXPECT_EQ(static_cast<uint8_t>(all->m_sPayload[24 + 2 * n]), n) << "service pairs in order";

  client.SendWithCookie(kServiceStatus + 6, dwCookie);
  std::optional<ControlMessage> telnet = client.Receive();
  ASSERT_TRUE(telnet);
  EXPECT_EQ(telnet->m_bType, 0xA6);
  EXPECT_EQ(telnet->m_sPayload.size(), 20u);
}

TEST_F(ControlChannelTest, CookieOfAnotherPortIsIgnored) {
  StartTelnetOnly();
  RawClient first;
  RawClient second;
  const uint32_t dwFirst = first.Hello();
  const uint32_t dwSecond = second.Hello();
  if (dwFirst == dwSecond) GTEST_SKIP() << "both ports drew the same cookie";
  second.SendWithCookie(kStatusAll, dwFirst);
  EXPECT_FALSE(second.Receive(300));
  second.SendWithCookie(kStatusAll, dwSecond);
  EXPECT_TRUE(second.Receive());
}

TEST_F(ControlChannelTest, AStoppedServiceIsNotAnsweredButItsLastStatusIsKept) {
  const int hSquatter = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTelnetPort);
  ASSERT_EQ(::bind(hSquatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(hSquatter, 1), 0);
  StartTelnetOnly();
  RawClient client;
  const uint32_t dwCookie = client.Hello();
  ASSERT_TRUE(Eventually([&] { return !m_harness.Runs(ServiceId::Telnet); }));

  client.SendWithCookie(kServiceStatus + 6, dwCookie);
  EXPECT_FALSE(client.Receive(300)) << "no reply for a service that does not run";
  client.SendWithCookie(kStatusAll, dwCookie);
  std::optional<ControlMessage> all = client.Receive();
  ASSERT_TRUE(all);
  EXPECT_EQ(ParseEngineStatus(all->m_sPayload)->m_abServices[6], kStatusAddressInUse);

  // Start-or-reload through the channel: Telnet on a free port runs again.
  test::ConfigureService(ServiceId::Telnet, kTelnetPort + 1);
  client.SendWithCookie(kStartService + 6, dwCookie);
  EXPECT_TRUE(Eventually([] { return test::Listening(kTelnetPort + 1); }));
  ::close(hSquatter);
}

TEST_F(ControlChannelTest, MalformedDatagramsAreDroppedSilently) {
  StartTelnetOnly();
  RawClient client;
  const std::string sHello = EncodeDatagram(ControlMessage{kHello, {}});
  std::string sForeign = sHello;
  sForeign[7] = '=';
  // The first letter's upper five bits are check bits: flipping one of them (and nothing else)
  // always breaks the check.
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/-";
  std::string sBadCheck = sHello;
  sBadCheck[0] = kAlphabet[kAlphabet.find(sBadCheck[0]) ^ 2];
  std::string sVersion2 = EncodeRegistryText(std::string("\x02\xFE\0\0\0\0", 6));
  std::string sLongerThanSaid = EncodeRegistryText(std::string("\x01\xFE\0\0\0\0x", 7));
  std::string sTooShort = EncodeRegistryText(std::string("\x01\xFE\0\0\0", 5));
  for (const std::string& sBad : {sForeign, sBadCheck, sVersion2, sLongerThanSaid, sTooShort, std::string()}) {
    client.SendRaw(sBad);
    EXPECT_FALSE(client.Receive(200)) << sBad;
  }
  // A tail of fewer than five letters is ignored.
  client.SendRaw(sHello + "ABC");
  std::optional<ControlMessage> reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->m_bType, kHello);
}

TEST_F(ControlChannelTest, MapsReloadWithoutACookieAndShowInStatus) {
  StartTelnetOnly();
  std::vector<MapRecord> vMaps;
  for (uint16_t wPort : {15000, 15001, 15002}) {
    MapRecord map;
    map.m_wBindPort = wPort;
    map.m_sDestHost = "127.0.0.1";
    map.m_wDestPort = m_echo.Port();
    map.m_serviceType = MapServiceType::Tcp;
    map.m_incoming.SetDeny(true);
    vMaps.push_back(map);
  }
  WriteMapRecords(vMaps);
  RawClient anonymous;
  anonymous.Send(kReloadMaps);  // no hello, no cookie
  for (uint16_t wPort : {15000, 15001, 15002}) EXPECT_TRUE(Eventually([&] { return test::Listening(wPort); })) << wPort;

  RawClient client;
  const uint32_t dwCookie = client.Hello();
  client.SendWithCookie(kStatusAll, dwCookie);
  std::optional<ControlMessage> all = client.Receive();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->m_sPayload.size(), 62u);
  std::optional<EngineStatus> status = ParseEngineStatus(all->m_sPayload);
  ASSERT_EQ(status->m_vMaps.size(), 3u);
  EXPECT_EQ(status->m_vMaps[1].m_wBindPort, 15001);
  EXPECT_EQ(status->m_vMaps[1].m_bStatus, kStatusRunning);

  // A map relays; its figures come back with its address and port.
  const int hClient = test::ConnectTcp(15001);
  ASSERT_TRUE(test::SendAll(hClient, "through the map"));
  EXPECT_EQ(test::RecvSome(hClient, 15), "through the map");
  std::string sSelector;
  PutU32(sSelector, 0);
  PutU16(sSelector, 15001);
  ASSERT_TRUE(Eventually([&] {
    client.SendWithCookie(kMapStatus, dwCookie, sSelector);
    std::optional<ControlMessage> reply = client.Receive();
    return reply && reply->m_bType == 0xAF && reply->m_sPayload.size() == 26 &&
           reply->m_sPayload.substr(0, 6) == sSelector && GetTotals(reply->m_sPayload, 6).m_qwReceived == 30;
  }));
  ::close(hClient);

  // A shorter list stops the map that went; the others keep running untouched.
  vMaps.pop_back();
  WriteMapRecords(vMaps);
  anonymous.Send(kReloadMaps);
  EXPECT_TRUE(Eventually([] { return !test::Listening(15002); }));
  EXPECT_TRUE(test::Listening(15000));
}

TEST_F(ControlChannelTest, QuitNeedsTheRightCookie) {
  StartTelnetOnly();
  RawClient client;
  const uint32_t dwCookie = client.Hello();
  client.SendWithCookie(kQuit, dwCookie == 1 ? 2 : dwCookie - 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(test::Listening(kTelnetPort));
  client.SendWithCookie(kQuit, dwCookie);
  EXPECT_TRUE(Eventually([] { return !test::Listening(kTelnetPort); }));
}

// A bounded flood of random datagrams (random bytes, and random letters of the alphabet).
TEST_F(ControlChannelTest, AFloodOfRandomDatagramsLeavesTheEngineAnswering) {
  StartTelnetOnly();
  constexpr int kDatagrams = 100000;
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/-";
  std::mt19937 random(42);
  RawClient flooder;
  std::string sDatagram;
  for (int i = 0; i < kDatagrams; ++i) {
    const size_t cbLength = random() % 120;
    sDatagram.resize(cbLength);
    for (char& c : sDatagram) c = i % 2 ? kAlphabet[random() % 64] : static_cast<char>(random());
    flooder.SendRaw(sDatagram);
    if (i % 500 == 0) std::this_thread::yield();
  }
  RawClient client;
  EXPECT_TRUE(Eventually([&] {
    client.Send(kHello);
    return client.Receive(200).has_value();
  }));
  EXPECT_TRUE(test::Listening(kTelnetPort));
}

}  // namespace
}  // namespace harbix
