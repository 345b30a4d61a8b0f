// The control channel spoken in raw datagrams: to an engine running in this process, and to the
// channel alone on this thread's stepped loop with a clock the test moves.
#include "engine/core/ControlChannel.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <random>

#include "common/ControlMessage.h"
#include "common/MapRecord.h"
#include "engine/core/Connections.h"
#include "engine/core/SinkWindow.h"
#include "platform/MessageLoop.h"
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

// The client table cannot be filled by datagrams that merely decode: only a hello makes a
// client. A manager that said hello before the flood keeps its cookie, and a newcomer is
// answered. The flood comes from as many local ports as the table has room for and more, and
// is paced by a probe whose replies show that the engine has read everything before them.
TEST_F(ControlChannelTest, DatagramsThatAreNoHelloMakeNoClients) {
  StartTelnetOnly();
  RawClient manager;
  const uint32_t dwCookie = manager.Hello();
  RawClient probe;
  constexpr int kPorts = static_cast<int>(ControlChannel::kMaxClients) + 6;
  constexpr uint16_t kFirstPort = 20000;
  for (int i = 0; i < kPorts; ++i) {
    RawClient sender(static_cast<uint16_t>(kFirstPort + i));
    ASSERT_TRUE(sender.Bound()) << kFirstPort + i;
    switch (i % 4) {
      case 0: sender.SendWithCookie(kStatusAll, 4242); break;        // a made-up cookie
      case 1: sender.SendWithCookie(kServiceStatus + 6, 4242); break;
      case 2: sender.Send(0x55); break;                              // no such request, no payload
      case 3: sender.Send(kReloadGeneral); break;                    // a cookie request without one
    }
    if (i % 32 == 31) {
      ASSERT_NE(probe.Hello(), 0u) << "after " << i + 1 << " datagrams";
    }
  }
  manager.SendWithCookie(kStatusAll, dwCookie);
  EXPECT_TRUE(manager.Receive()) << "the manager lost its place to datagrams that were no hello";
  RawClient newcomer(kFirstPort + kPorts);
  EXPECT_NE(newcomer.Hello(), 0u) << "a newcomer was locked out";
}

// Hellos from more ports than the table holds: the client that was quiet the longest makes room,
// so a newcomer is answered, and a manager that keeps talking keeps its cookie.
TEST_F(ControlChannelTest, AFullTableMakesRoomByForgettingTheQuietestClient) {
  StartTelnetOnly();
  RawClient manager;
  const uint32_t dwCookie = manager.Hello();
  constexpr int kPorts = static_cast<int>(ControlChannel::kMaxClients) + 6;
  constexpr uint16_t kFirstPort = 20000;
  int nAnswered = 0;
  for (int i = 0; i < kPorts; ++i) {
    RawClient client(static_cast<uint16_t>(kFirstPort + i));
    ASSERT_TRUE(client.Bound()) << kFirstPort + i;
    client.Send(kHello);
    nAnswered += client.Receive().has_value();
    if (i % 100 == 99) {
      manager.SendWithCookie(kStatusAll, dwCookie);
      ASSERT_TRUE(manager.Receive()) << "after " << i + 1 << " hellos";
    }
  }
  EXPECT_EQ(nAnswered, kPorts);
  RawClient newcomer(kFirstPort + kPorts);
  EXPECT_NE(newcomer.Hello(), 0u) << "a newcomer was locked out";
  manager.SendWithCookie(kStatusAll, dwCookie);
  EXPECT_TRUE(manager.Receive()) << "the manager, never the quietest, lost its cookie";
}

// What the channel asks of the engine, counted.
class CountingTarget : public ControlTarget {
 public:
  int32_t StartTime() const override { return 975000000; }
  const ServiceStats& RefreshStats(ServiceId /*id*/) override { return m_stats; }
  bool ServiceRuns(ServiceId /*id*/) const override { return false; }
  std::vector<MapStats> RefreshMapStats() override { return {}; }
  void ReloadGeneral() override { ++m_nGeneralReloads; }
  void StartOrReloadService(ServiceId id) override { ++m_anServiceReloads[static_cast<size_t>(id)]; }
  void ReloadMaps() override { ++m_nMapReloads; }
  void RequestQuit() override { ++m_nQuits; }

  ServiceStats m_stats;
  int m_nGeneralReloads = 0;
  int m_nMapReloads = 0;
  int m_nQuits = 0;
  std::array<int, kServiceCount> m_anServiceReloads{};
};

// The channel alone on this thread: its sink hands socket events to this thread as thread
// messages, which the step passes to the channel as the engine does, with its reload timer.
// The channel binds 127.0.0.1:9999, free in this test program's own network namespace.
class ChannelTest : public ::testing::Test {
 protected:
  ChannelTest() : m_sink(m_loop.Id()) {
    m_loop.SetClock([this] { return m_qwNow; });
    EXPECT_TRUE(m_sink.Create());
    EXPECT_TRUE(m_channel.Open(m_sink));
  }
  ~ChannelTest() override {
    m_channel.Close(m_sink);
    m_sink.Destroy();
  }

  void Step() {
    m_loop.RunUntilIdle([this](const Message& msg) {
      if (msg.hwnd != 0) return false;
      if (msg.message == WM_SOCKET_EVENT && static_cast<int>(msg.wParam) == m_channel.Fd()) {
        m_channel.OnEvent(SelectEvent(msg.lParam));
      } else if (msg.message == WM_TIMER) {
        m_channel.OnTimer(static_cast<uint32_t>(msg.wParam));
      }
      return true;
    });
  }
  void Advance(uint64_t qwMs) {
    m_qwNow += qwMs;
    Step();
  }
  // Datagrams on loopback are there as soon as they are sent, and so are the replies.
  std::optional<ControlMessage> Ask(RawClient& client, uint8_t bType, std::optional<uint32_t> dwCookie = {}) {
    if (dwCookie) {
      client.SendWithCookie(bType, *dwCookie);
    } else {
      client.Send(bType);
    }
    Step();
    return client.Receive(100);
  }
  uint32_t Hello(RawClient& client) {
    const std::optional<ControlMessage> reply = Ask(client, kHello);
    EXPECT_TRUE(reply && reply->m_bType == kHello && reply->m_sPayload.size() == 8);
    return reply && reply->m_sPayload.size() == 8 ? GetU32(reply->m_sPayload, 0) : 0;
  }

  uint64_t m_qwNow = 5000000;
  MessageLoop m_loop;
  CountingTarget m_target;
  ControlChannel m_channel{m_target};
  SinkWindow m_sink;
};

TEST_F(ChannelTest, AClientQuietFor61SecondsIsForgottenAtTheNextSendAttempt) {
  RawClient quiet;
  RawClient talking;
  const uint32_t dwQuiet = Hello(quiet);
  Advance(30000);
  const uint32_t dwTalking = Hello(talking);
  ASSERT_EQ(m_channel.Clients(), 2u);

  Advance(ControlChannel::kForgetAfterMs - 30000 - 1);
  m_channel.OnEvent(FD_WRITE);
  EXPECT_EQ(m_channel.Clients(), 2u) << "forgotten before 61 s";
  Advance(1);
  m_channel.OnEvent(FD_WRITE);
  EXPECT_EQ(m_channel.Clients(), 1u) << "the client quiet for 61 s is still known";

  EXPECT_FALSE(Ask(quiet, kStatusAll, dwQuiet)) << "a forgotten client's cookie still counts";
  EXPECT_EQ(m_channel.Clients(), 1u);
  EXPECT_TRUE(Ask(talking, kStatusAll, dwTalking));
  EXPECT_NE(Hello(quiet), 0u) << "a new hello makes the forgotten client known again";
  EXPECT_EQ(m_channel.Clients(), 2u);
}

TEST_F(ChannelTest, ABurstOfReloadRequestsRunsOnceAndOnceMoreAfterTheSpacing) {
  RawClient manager;
  const uint32_t dwCookie = Hello(manager);
  struct Case {
    const char* lpWhat;
    uint8_t bType;
    bool bCookie;
    std::function<int()> runs;
  } cases[] = {
      {"maps", kReloadMaps, false, [&] { return m_target.m_nMapReloads; }},
      {"Telnet", kStartService + 6, true, [&] { return m_target.m_anServiceReloads[6]; }},
      {"SOCKS", kStartService + 0, true, [&] { return m_target.m_anServiceReloads[0]; }},
      {"general", kReloadGeneral, true, [&] { return m_target.m_nGeneralReloads; }},
  };
  int nRunsOfAll = 0;
  auto allRuns = [&] {
    int nRuns = m_target.m_nMapReloads + m_target.m_nGeneralReloads;
    for (int n : m_target.m_anServiceReloads) nRuns += n;
    return nRuns;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpWhat);
    for (int i = 0; i < 100; ++i) {
      if (c.bCookie) {
        manager.SendWithCookie(c.bType, dwCookie);
      } else {
        manager.Send(c.bType);
      }
    }
    Step();
    EXPECT_EQ(c.runs(), 1) << "the first request runs at once, the rest wait merged";
    Advance(ControlChannel::kReloadSpacingMs - 1);
    EXPECT_EQ(c.runs(), 1);
    Advance(1);
    EXPECT_EQ(c.runs(), 2) << "the merged request runs once the spacing has passed";
    Advance(10 * ControlChannel::kReloadSpacingMs);
    EXPECT_EQ(c.runs(), 2) << "nothing else was waiting";
    nRunsOfAll += 2;
    EXPECT_EQ(allRuns(), nRunsOfAll) << "another area was reloaded";
  }
  EXPECT_EQ(m_loop.NextTimerInMs(), -1) << "the reload timer runs on with nothing to do";
}

// A datagram longer than the channel reads is dropped whole: its first 8192 letters would decode
// into a valid hello.
TEST_F(ChannelTest, ADatagramCutByTheReadBufferIsNoMessage) {
  const std::string sHello = Serialize(ControlMessage{kHello, std::string(1632, 'p')});
  ASSERT_EQ(sHello.size() * 5, kMaxDatagram - 2);
  const std::string sWire = EncodeRegistryText(sHello) + EncodeRegistryText(std::string(100, 'q'));
  ASSERT_GT(sWire.size(), kMaxDatagram);
  const std::optional<ControlMessage> cut = DecodeDatagram(std::string_view(sWire).substr(0, kMaxDatagram));
  ASSERT_TRUE(cut && cut->m_bType == kHello) << "the cut must look like a hello for this test to mean anything";

  RawClient client;
  client.SendRaw(sWire);
  Step();
  EXPECT_FALSE(client.Receive(100));
  EXPECT_EQ(m_channel.Clients(), 0u);
  EXPECT_NE(Hello(client), 0u);
}

}  // namespace
}  // namespace harbix
