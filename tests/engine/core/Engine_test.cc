// The engine and its service framework with real sockets on loopback, driven in-process.
#include "engine/core/Engine.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "common/MapRecord.h"
#include "engine/core/Connections.h"
#include "engine/core/EngineMessages.h"
#include "engine/relay/PortMap.h"
#include "platform/MessageLoop.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/RawControlClient.h"
#include "tests/support/TestNet.h"
#include "tests/support/TestCatalog.h"

namespace harbix {
namespace {

using test::ConnectTcp;
using test::EngineHarness;
using test::Eventually;
using test::TcpTestServer;

constexpr uint16_t kTelnetPort = 12323;
constexpr uint16_t kHttpsPort = 12525;
constexpr uint16_t kFtpPort = 12121;

class EngineTest : public ::testing::Test {
 protected:
  // Telnet and HTTPS on high ports, relaying to an echo server; nothing else runs.
  void ConfigureRelays(bool bUseThreads = true) {
    test::OnlyServices({ServiceId::Telnet, ServiceId::Https});
    test::ConfigureService(ServiceId::Telnet, kTelnetPort, true, bUseThreads);
    test::ConfigureService(ServiceId::Https, kHttpsPort, true, bUseThreads);
  }
  ServiceCatalog Relays(const TcpTestServer& server) { return test::TestRelayCatalog({test::kLoopbackIp, server.Port()}); }

  static std::string ReadFile(const std::string& sPath) {
    std::ifstream file(sPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  test::TempHome m_home;
};

TEST_F(EngineTest, PortInUseGivesThatServiceStatus253AndTheRestRun) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  ConfigureRelays();
  test::ConfigureService(ServiceId::Ftp, kFtpPort);
  const int hSquatter = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kTelnetPort);
  ASSERT_EQ(::bind(hSquatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(hSquatter, 1), 0);

  EngineHarness harness(Relays(echo));
  ASSERT_TRUE(harness.Start());
  EXPECT_TRUE(Eventually([&] { return !harness.Runs(ServiceId::Telnet); }));
  EXPECT_EQ(harness.Status(ServiceId::Telnet), kStatusAddressInUse);
  EXPECT_EQ(harness.Status(ServiceId::Https), kStatusRunning);
  EXPECT_EQ(harness.Status(ServiceId::Ftp), kStatusRunning);
  EXPECT_EQ(harness.Status(ServiceId::Http), kStatusShutDown) << "never ran";
  EXPECT_TRUE(test::Listening(kHttpsPort));
  ::close(hSquatter);
}

TEST_F(EngineTest, ActivityLogFollowsTheSettingAcrossReloads) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  ConfigureRelays();
  EngineHarness harness(Relays(echo));
  ASSERT_TRUE(harness.Start());
  const std::string sPath = m_home.Path() + "/log/TNET.LOG";
  uint16_t wPort = kTelnetPort;
  auto session = [&] {
    const int hClient = ConnectTcp(wPort);
    sockaddr_in local{};
    socklen_t cbLocal = sizeof local;
    ::getsockname(hClient, reinterpret_cast<sockaddr*>(&local), &cbLocal);
    test::SendAll(hClient, "x");
    test::RecvSome(hClient, 1);
    ::close(hClient);
    EXPECT_TRUE(Eventually([&] { return harness.Stats(ServiceId::Telnet).m_dwActive == 0; }));
    return std::to_string(ntohs(local.sin_port));
  };
  auto count = [](const std::string& sText, const std::string& sWhat) {
    size_t n = 0;
    for (size_t nPos = sText.find(sWhat); nPos != std::string::npos; nPos = sText.find(sWhat, nPos + 1)) ++n;
    return n;
  };
  // Each reload also moves the service to the next port: once that port listens, the reload
  // has been handled.
  auto setLogging = [&](bool bOn) {
    ServiceConfig config = ReadServiceConfig(ServiceId::Telnet);
    config.m_bLogActivity = bOn;
    config.m_wBindPort = ++wPort;
    WriteServiceConfig(config);
    harness.Reload(ServiceId::Telnet);
    ASSERT_TRUE(Eventually([&] { return test::Listening(wPort); }));
  };

  session();
  struct stat st {};
  EXPECT_NE(::stat(sPath.c_str(), &st), 0) << "LOG Activity 0 never creates the file";

  setLogging(true);
  ASSERT_TRUE(Eventually([&] { return count(ReadFile(sPath), "// Session of: ") == 1; }));
  const std::string sPort = session();
  ASSERT_TRUE(Eventually([&] { return count(ReadFile(sPath), "Closing IP 127.0.0.1:" + sPort) == 1; }));
  std::string sLog = ReadFile(sPath);
  EXPECT_EQ(count(sLog, ": Accepted Connection From IP 127.0.0.1:" + sPort + "\n"), 1u) << sLog;
  EXPECT_EQ(count(sLog, ": Closing IP 127.0.0.1:" + sPort + "\n"), 1u) << sLog;

  setLogging(false);  // closed without a closing line: the setting is off already
  const std::string sQuietPort = session();
  setLogging(true);   // a second header in the same file
  ASSERT_TRUE(Eventually([&] { return count(ReadFile(sPath), "// Session of: ") == 2; }));
  sLog = ReadFile(sPath);
  EXPECT_EQ(count(sLog, "--- CLOSING LOG ---"), 0u);
  EXPECT_EQ(count(sLog, "127.0.0.1:" + sQuietPort + "\n"), 0u) << "nothing is written while logging is off";

  harness.Stop();  // stopping with logging on appends the closing line
  sLog = ReadFile(sPath);
  EXPECT_EQ(count(sLog, "--- CLOSING LOG ---"), 1u);
  EXPECT_EQ(sLog.substr(sLog.size() - 21), "--- CLOSING LOG ---\n\n");
}

class RelayModeTest : public EngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RelayModeTest, SessionsRelayAndCountTheirBytes) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  ConfigureRelays(GetParam());
  EngineHarness harness(Relays(echo));
  ASSERT_TRUE(harness.Start());

  // Two sessions at once, moving different amounts.
  const int hFirst = ConnectTcp(kTelnetPort);
  const int hSecond = ConnectTcp(kTelnetPort);
  ASSERT_GE(hFirst, 0);
  ASSERT_GE(hSecond, 0);
  const std::string sFirst(100000, 'a');
  const std::string sSecond(3000, 'b');
  ASSERT_TRUE(test::SendAll(hFirst, sFirst));
  ASSERT_TRUE(test::SendAll(hSecond, sSecond));
  EXPECT_EQ(test::RecvSome(hFirst, sFirst.size()), sFirst);
  EXPECT_EQ(test::RecvSome(hSecond, sSecond.size()), sSecond);
  EXPECT_TRUE(Eventually([&] { return harness.Stats(ServiceId::Telnet).m_dwActive == 2; }));
  ::close(hFirst);
  ::close(hSecond);

  // Each byte is received once from a client and once from the server, and sent twice too.
  const uint64_t qwMoved = 2 * (sFirst.size() + sSecond.size());
  EXPECT_TRUE(Eventually([&] {
    const ServiceStats stats = harness.Stats(ServiceId::Telnet);
    return stats.m_dwActive == 0 && stats.m_qwSent == qwMoved && stats.m_qwReceived == qwMoved;
  }));
  const ServiceStats stats = harness.Stats(ServiceId::Telnet);
  EXPECT_EQ(stats.m_qwSent, qwMoved);
  EXPECT_EQ(stats.m_qwReceived, qwMoved);
  EXPECT_EQ(Connections().m_nTotal.load(), 2);
  EXPECT_EQ(Connections().m_dwActive.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(UseThreads, RelayModeTest, ::testing::Bool(),
                         [](const auto& paramInfo) { return paramInfo.param ? "ThreadPerSession" : "OnServiceThread"; });

TEST_F(EngineTest, ConnectionLimitRefusesAThirdCallerOfAnyService) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  ConfigureRelays();
  ServiceConfig https = ReadServiceConfig(ServiceId::Https);
  https.m_bLogActivity = true;
  WriteServiceConfig(https);
  WriteGeneralConfig(GeneralConfig{2, kPriorityNormal, 3, false});
  EngineHarness harness(Relays(echo));
  ASSERT_TRUE(harness.Start());

  const int hFirst = ConnectTcp(kTelnetPort);
  const int hSecond = ConnectTcp(kHttpsPort);
  ASSERT_TRUE(test::SendAll(hFirst, "1") && test::SendAll(hSecond, "2"));
  ASSERT_EQ(test::RecvSome(hFirst, 1), "1");
  ASSERT_EQ(test::RecvSome(hSecond, 1), "2");

  for (uint16_t wPort : {kTelnetPort, kHttpsPort}) {
    const int hThird = ConnectTcp(wPort);
    ASSERT_GE(hThird, 0);
    EXPECT_TRUE(test::ClosedByPeer(hThird)) << "port " << wPort;
    ::close(hThird);
  }
  // Admitted again once a session has ended.
  ::close(hFirst);
  EXPECT_TRUE(Eventually([] { return Connections().m_dwActive.load() == 1; }));
  const int hAgain = ConnectTcp(kHttpsPort);
  ASSERT_TRUE(test::SendAll(hAgain, "3"));
  EXPECT_EQ(test::RecvSome(hAgain, 1), "3");
  ::close(hAgain);
  ::close(hSecond);
  harness.Stop();

  const std::string sLog = ReadFile(m_home.Path() + "/log/HTTPS.LOG");
  EXPECT_NE(sLog.find("Refused Connection From IP 127.0.0.1:"), std::string::npos) << sLog;
  EXPECT_NE(sLog.find("Accepted Connection From IP 127.0.0.1:"), std::string::npos) << sLog;
}

TEST_F(EngineTest, ReloadRebindsAChangedPortAndStopsAServiceTurnedOff) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  ConfigureRelays();
  EngineHarness harness(Relays(echo));
  ASSERT_TRUE(harness.Start());
  ASSERT_TRUE(test::Listening(kTelnetPort));

  test::ConfigureService(ServiceId::Telnet, kTelnetPort + 1);
  harness.Reload(ServiceId::Telnet);
  EXPECT_TRUE(Eventually([&] { return test::Listening(kTelnetPort + 1); }));
  EXPECT_FALSE(test::Listening(kTelnetPort));
  EXPECT_EQ(harness.Status(ServiceId::Telnet), kStatusRunning);

  // Rebinding onto a port that is taken ends the service with 253.
  test::ConfigureService(ServiceId::Telnet, kHttpsPort);
  harness.Reload(ServiceId::Telnet);
  EXPECT_TRUE(Eventually([&] { return !harness.Runs(ServiceId::Telnet); }));
  EXPECT_EQ(harness.Status(ServiceId::Telnet), kStatusAddressInUse);

  // A stopped service is started again by the same request.
  test::ConfigureService(ServiceId::Telnet, kTelnetPort);
  harness.Reload(ServiceId::Telnet);
  EXPECT_TRUE(Eventually([&] { return test::Listening(kTelnetPort); }));

  test::ConfigureService(ServiceId::Https, kHttpsPort, false);
  harness.Reload(ServiceId::Https);
  EXPECT_TRUE(Eventually([&] { return !harness.Runs(ServiceId::Https); }));
  EXPECT_EQ(harness.Status(ServiceId::Https), kStatusShutDown);
  EXPECT_FALSE(test::Listening(kHttpsPort));
  // With "Run Service" off, the request does not start it.
  harness.Reload(ServiceId::Https);
  EXPECT_FALSE(harness.Runs(ServiceId::Https));
}

TEST_F(EngineTest, StoppingWithManyOpenSessionsJoinsEverythingAndLeaksNoDescriptor) {
  constexpr int kSessions = 200;
  TcpTestServer hold(TcpTestServer::Mode::Hold);
  ConfigureRelays();
  test::ConfigureService(ServiceId::Https, kHttpsPort, true, false);  // half on the service thread
  ReadGeneralConfig();  // the store's connection is part of the baseline
  const size_t nBefore = test::OpenDescriptors();
  {
    EngineHarness harness(Relays(hold));
    ASSERT_TRUE(harness.Start());
    std::vector<int> vClients;
    for (int i = 0; i < kSessions; ++i) {
      const int hClient = ConnectTcp(i % 2 ? kTelnetPort : kHttpsPort);
      ASSERT_GE(hClient, 0);
      vClients.push_back(hClient);
    }
    ASSERT_TRUE(Eventually([&] { return hold.Accepted() == kSessions; }, 20000)) << hold.Accepted();
    EXPECT_EQ(Connections().m_dwActive.load(), static_cast<uint32_t>(kSessions));

    const auto start = std::chrono::steady_clock::now();
    harness.Stop();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("stopping with %d sessions took %lld ms\n", kSessions, static_cast<long long>(elapsed.count()));
    for (int hClient : vClients) {
      EXPECT_TRUE(test::ClosedByPeer(hClient, 2000));
      ::close(hClient);
    }
  }
  EXPECT_EQ(test::OpenDescriptors(), nBefore);
  EXPECT_EQ(Connections().m_dwActive.load(), 0u);
}

TEST_F(EngineTest, AcceptFailingForWantOfDescriptorsDoesNotSpin) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  ConfigureRelays();
  EngineHarness harness(Relays(echo));
  ASSERT_TRUE(harness.Start());

  // Leave the process no descriptor to accept with; a caller then waits in the backlog. Its
  // socket is made before the limit drops, so connecting needs no new descriptor.
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const int hWaiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(hWaiting, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = test::kLoopbackIp;
  address.sin_port = htons(kTelnetPort);
  rlimit tight = saved;
  tight.rlim_cur = test::OpenDescriptors();
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> vFillers;  // take every free number below the limit
  for (int hFiller; (hFiller = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) vFillers.push_back(hFiller);
  const bool bConnected = ::connect(hWaiting, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  for (int hFiller : vFillers) ::close(hFiller);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(bConnected);

  auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  const double dCpu = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) - seconds(before.ru_stime);
  EXPECT_LT(dCpu, 0.5) << "the service thread spun on a failing accept";
  // The caller who waited is served once descriptors are back.
  ASSERT_TRUE(test::SendAll(hWaiting, "hi"));
  EXPECT_EQ(test::RecvSome(hWaiting, 2), "hi");
  ::close(hWaiting);

  // Once descriptors are back, callers are served again.
  const int hLater = ConnectTcp(kTelnetPort);
  ASSERT_TRUE(test::SendAll(hLater, "ok"));
  EXPECT_EQ(test::RecvSome(hLater, 2), "ok");
  ::close(hLater);
}

// A fast server and a slow client: the relay stops reading from the server while the client
// lags, so the engine holds a bounded amount however much flows.
TEST_F(EngineTest, RelayAppliesBackPressure) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr uint64_t kTotal = 64ull << 20;  // sanitizers are slow and inflate memory anyway
  constexpr bool kCheckMemory = false;
#else
  constexpr uint64_t kTotal = 512ull << 20;
  constexpr bool kCheckMemory = true;
#endif
  constexpr size_t kMemoryLimitKib = 64 * 1024;
  TcpTestServer source(TcpTestServer::Mode::Source, kTotal);
  ConfigureRelays();
  EngineHarness harness(Relays(source));
  ASSERT_TRUE(harness.Start());

  const int hClient = ConnectTcp(kTelnetPort, 30000);
  ASSERT_GE(hClient, 0);
  int nSmallBuffer = 64 * 1024;
  ::setsockopt(hClient, SOL_SOCKET, SO_RCVBUF, &nSmallBuffer, sizeof nSmallBuffer);
  std::vector<char> vBuffer(64 * 1024);
  uint64_t qwReceived = 0;
  size_t nPeakKib = 0;
  bool bIntact = true;
  for (int nRound = 0; qwReceived < kTotal; ++nRound) {
    const ssize_t n = ::recv(hClient, vBuffer.data(), vBuffer.size(), 0);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n && bIntact; ++i) bIntact = static_cast<uint8_t>(vBuffer[i]) == test::PatternByte(qwReceived + i);
    qwReceived += static_cast<uint64_t>(n);
    if (nRound % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the client lags behind
    if (nRound % 256 == 0) nPeakKib = std::max(nPeakKib, test::ResidentKib());
  }
  ::close(hClient);
  EXPECT_EQ(qwReceived, kTotal);
  EXPECT_TRUE(bIntact) << "the stream was corrupted";
  std::printf("peak resident memory while relaying %llu MiB: %zu KiB\n", static_cast<unsigned long long>(kTotal >> 20),
              nPeakKib);
  if (kCheckMemory) {
    EXPECT_LT(nPeakKib, kMemoryLimitKib);
  }
}

// ---------------------------------------------------------------------------------------------
// Sessions that are never made

// Connections count in the total only once their session exists; a service whose sessions
// cannot be made (its factory gives none, or it has no session kind) counts nothing, whether
// sessions run on threads of their own or on the service's thread.
class UncountedSessionTest : public EngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UncountedSessionTest, OnlySessionsThatWereMadeCountInTheTotal) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  test::OnlyServices({ServiceId::Telnet, ServiceId::Https, ServiceId::Ftp});
  for (auto [id, wPort] : {std::pair{ServiceId::Telnet, kTelnetPort}, {ServiceId::Https, kHttpsPort}, {ServiceId::Ftp, kFtpPort}}) {
    test::ConfigureService(id, wPort, true, GetParam());
  }
  const SocketAddress destination{test::kLoopbackIp, echo.Port()};
  ServiceCatalog catalog;
  catalog.m_makeService = [destination](ServiceId id, ThreadId engine, uint16_t wMaxDatagram) {
    SessionFactory factory;  // HTTPS: no session kind at all
    if (id == ServiceId::Telnet) factory = [](SessionContext&&) { return std::unique_ptr<Session>(); };
    if (id == ServiceId::Ftp) factory = MapTcpSessionFactory(destination);
    return std::make_unique<ServiceThread>(id, engine, factory, wMaxDatagram);
  };
  EngineHarness harness(catalog);
  ASSERT_TRUE(harness.Start());

  constexpr int kRefused = 5;
  for (uint16_t wPort : {kTelnetPort, kHttpsPort}) {
    for (int i = 0; i < kRefused; ++i) {
      const int hClient = ConnectTcp(wPort);
      ASSERT_GE(hClient, 0);
      EXPECT_TRUE(test::ClosedByPeer(hClient)) << "port " << wPort;
      ::close(hClient);
    }
  }
  EXPECT_TRUE(Eventually([] { return Connections().m_dwActive.load() == 0; }));
  EXPECT_EQ(Connections().m_nTotal.load(), 0);

  constexpr int kMade = 3;
  for (int i = 0; i < kMade; ++i) {
    const int hClient = ConnectTcp(kFtpPort);
    ASSERT_TRUE(test::SendAll(hClient, "x"));
    EXPECT_EQ(test::RecvSome(hClient, 1), "x");
    ::close(hClient);
  }
  EXPECT_TRUE(Eventually([] { return Connections().m_dwActive.load() == 0; }));
  EXPECT_EQ(Connections().m_nTotal.load(), kMade);
}

INSTANTIATE_TEST_SUITE_P(UseThreads, UncountedSessionTest, ::testing::Bool(),
                         [](const auto& paramInfo) { return paramInfo.param ? "ThreadPerSession" : "OnServiceThread"; });

// A session may answer its caller as soon as it is made, so it must count as active by then: a
// caller that was served and then asks for the totals must find itself in them.
class ActiveCountTest : public EngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ActiveCountTest, ASessionCountsAsActiveBeforeItCanServe) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  test::OnlyServices({ServiceId::Ftp});
  test::ConfigureService(ServiceId::Ftp, kFtpPort, true, GetParam());
  const SocketAddress destination{test::kLoopbackIp, echo.Port()};
  auto lpService = std::make_shared<std::atomic<ServiceThread*>>(nullptr);
  auto lpSeen = std::make_shared<std::atomic<int>>(-1);
  ServiceCatalog catalog;
  catalog.m_makeService = [=](ServiceId id, ThreadId engine, uint16_t wMaxDatagram) {
    SessionFactory relay = MapTcpSessionFactory(destination);
    SessionFactory factory = [=](SessionContext&& context) {
      ServiceStats stats;
      if (ServiceThread* lpThread = lpService->load(); lpThread && lpThread->ReadStats(&stats)) {
        lpSeen->store(static_cast<int>(stats.m_dwActive));
      }
      return relay(std::move(context));
    };
    auto lpThread = std::make_unique<ServiceThread>(id, engine, factory, wMaxDatagram);
    lpService->store(lpThread.get());
    return lpThread;
  };
  EngineHarness harness(catalog);
  ASSERT_TRUE(harness.Start());

  const int hClient = ConnectTcp(kFtpPort);
  ASSERT_TRUE(test::SendAll(hClient, "x"));
  EXPECT_EQ(test::RecvSome(hClient, 1), "x");
  EXPECT_EQ(lpSeen->load(), 1) << "the session was made before it counted";
  ::close(hClient);
}

INSTANTIATE_TEST_SUITE_P(UseThreads, ActiveCountTest, ::testing::Bool(),
                         [](const auto& paramInfo) { return paramInfo.param ? "ThreadPerSession" : "OnServiceThread"; });

// ---------------------------------------------------------------------------------------------
// Threads that end by themselves

// Every map thread the engine makes, with the id its service-ended message carries.
struct MadeMap {
  const ServiceThread* m_lpThread;
  uint64_t m_qwUniqueId;
  uint16_t m_wBindPort;
};

class MapLog {
 public:
  void Add(const ServiceThread* lpThread, uint16_t wPort) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_vMade.push_back(MadeMap{lpThread, lpThread->UniqueId(), wPort});
  }
  std::vector<MadeMap> Made() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_vMade;
  }

 private:
  std::mutex m_lock;
  std::vector<MadeMap> m_vMade;
};

ServiceCatalog RecordingMapCatalog(std::shared_ptr<MapLog> lpLog) {
  ServiceCatalog catalog = test::TestRelayCatalog({test::kLoopbackIp, 1});
  catalog.m_makeMap = [lpLog](const MapRecord& record, ThreadId engine, uint16_t wMaxDatagram) -> std::unique_ptr<ServiceThread> {
    auto lpMap = std::make_unique<MapThread>(engine, record, wMaxDatagram);
    lpLog->Add(lpMap.get(), record.m_wBindPort);
    return lpMap;
  };
  return catalog;
}

MapRecord TcpMap(uint16_t wBindPort, uint16_t wDestPort) {
  MapRecord map;
  map.m_wBindPort = wBindPort;
  map.m_sDestHost = "127.0.0.1";
  map.m_wDestPort = wDestPort;
  map.m_serviceType = MapServiceType::Tcp;
  map.m_incoming.SetDeny(true);  // an empty deny list: everyone
  return map;
}

int ListenOn(uint16_t wPort) {
  const int hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(wPort);
  if (::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(hSocket, 1) != 0) {
    ::close(hSocket);
    return -1;
  }
  return hSocket;
}

// A hung engine thread can be neither joined nor left behind: the test program ends here, with
// the reason, instead of waiting for the suite's time limit.
void WithinOrExit(const std::function<void()>& fn, const char* lpWhat) {
  auto lpDone = std::make_shared<std::promise<void>>();
  std::future<void> done = lpDone->get_future();
  std::thread([fn, lpDone] {
    fn();
    lpDone->set_value();
  }).detach();
  if (done.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return;
  std::fprintf(stderr, "FAILED: the engine thread hangs: %s did not return within 30 s\n", lpWhat);
  std::fflush(stderr);
  std::_Exit(1);
}

TEST_F(EngineTest, AStaleServiceEndedMessageLeavesRunningMapsAlone) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  constexpr uint16_t kRunningPort = 15100;
  constexpr uint16_t kTakenPort = 15101;
  const int hSquatter = ListenOn(kTakenPort);
  ASSERT_GE(hSquatter, 0);
  test::OnlyServices({});
  WriteMapRecords({TcpMap(kRunningPort, echo.Port()), TcpMap(kTakenPort, echo.Port())});
  auto lpLog = std::make_shared<MapLog>();
  EngineHarness harness(RecordingMapCatalog(lpLog));
  ASSERT_TRUE(harness.Start());
  Engine& engine = harness.engine();
  auto runningMaps = [&] {
    std::vector<MapStats> vMaps;
    WithinOrExit([&] { engine.Call([&] { vMaps = engine.RefreshMapStats(); }); }, "a status call");
    return vMaps;
  };
  // The map on the taken port ends by itself and leaves the list.
  ASSERT_TRUE(Eventually([&] {
    const std::vector<MapStats> vMaps = runningMaps();
    return vMaps.size() == 1 && vMaps[0].m_wBindPort == kRunningPort && vMaps[0].m_stats.m_bStatus == kStatusRunning;
  }));
  const std::vector<MadeMap> vMade = lpLog->Made();
  ASSERT_EQ(vMade.size(), 2u);
  const MadeMap& running = vMade[0].m_wBindPort == kRunningPort ? vMade[0] : vMade[1];
  const MadeMap& ended = vMade[0].m_wBindPort == kRunningPort ? vMade[1] : vMade[0];
  ASSERT_NE(running.m_qwUniqueId, ended.m_qwUniqueId);

  // What an address-matching engine would have taken for the running map, and the ended map's
  // own message once more (a thread made later at its address would be hit by it).
  ASSERT_TRUE(MessageLoop::PostThreadMessage(engine.EngineThread(), WM_SERVICE_ENDED,
                                             reinterpret_cast<uintptr_t>(running.m_lpThread)));
  ASSERT_TRUE(MessageLoop::PostThreadMessage(engine.EngineThread(), WM_SERVICE_ENDED, static_cast<uintptr_t>(ended.m_qwUniqueId)));
  const std::vector<MapStats> vAfter = runningMaps();
  ASSERT_EQ(vAfter.size(), 1u);
  EXPECT_EQ(vAfter[0].m_wBindPort, kRunningPort);
  EXPECT_EQ(vAfter[0].m_stats.m_bStatus, kStatusRunning);
  const int hClient = ConnectTcp(kRunningPort);
  ASSERT_TRUE(test::SendAll(hClient, "still mapped"));
  EXPECT_EQ(test::RecvSome(hClient, 12), "still mapped");
  ::close(hClient);

  WithinOrExit([&] { harness.Stop(); }, "stopping");
  EXPECT_FALSE(test::Listening(kRunningPort));
  ::close(hSquatter);
}

// Maps that fail on their own while reloads replace them: the new thread may sit where the old
// one was freed while the old one's service-ended message still waits. The reloads come as
// bursts of datagrams (merged and spaced by the channel) and also straight on the engine
// thread, back to back, as an unspaced stream of requests would run them. Bounded: a fixed
// number of rounds.
TEST_F(EngineTest, ReloadingAMapThatKeepsFailingLeavesTheEngineAnswering) {
  TcpTestServer echo(TcpTestServer::Mode::Echo);
  constexpr uint16_t kFreePort = 15200;
  constexpr uint16_t kTakenPort = 15201;
  const int hSquatter = ListenOn(kTakenPort);
  ASSERT_GE(hSquatter, 0);
  test::OnlyServices({});
  WriteMapRecords({TcpMap(kTakenPort, echo.Port())});
  auto lpLog = std::make_shared<MapLog>();
  EngineHarness harness(RecordingMapCatalog(lpLog));
  ASSERT_TRUE(harness.Start());
  Engine& engine = harness.engine();

  constexpr int kRounds = 150;
  constexpr int kBurst = 4;
  const int aPauseMs[] = {0, 1, 0, 20, 0, 150};
  test::RawControlClient reloader;
  for (int nRound = 0; nRound < kRounds; ++nRound) {
    WriteMapRecords({TcpMap(nRound % 2 ? kFreePort : kTakenPort, echo.Port())});
    for (int i = 0; i < kBurst; ++i) reloader.Send(control::kReloadMaps);
    WithinOrExit([&] { engine.Call([&] { engine.ReloadMaps(); }); }, "a reload");
    std::this_thread::sleep_for(std::chrono::milliseconds(aPauseMs[nRound % 6]));
  }
  EXPECT_GE(lpLog->Made().size(), static_cast<size_t>(kRounds)) << "the reloads did not replace the map";

  test::RawControlClient manager;
  EXPECT_TRUE(Eventually([&] {
    manager.Send(control::kHello);
    return manager.Receive(200).has_value();
  }, 10000)) << "the control channel does not answer";
  WithinOrExit([&] { harness.Stop(); }, "stopping");
  ::close(hSquatter);
}

}  // namespace
}  // namespace harbix
