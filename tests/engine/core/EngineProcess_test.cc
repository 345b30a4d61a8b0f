// The harbixen program itself: single instance, signals, and the default configuration.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/ServiceConfig.h"
#include "platform/NamedLock.h"
#include "platform/Registry.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::ChildProcess;
using test::Eventually;

constexpr uint16_t kTelnetPort = 12323;

class EngineProcessTest : public ::testing::Test {
 protected:
  // Only Telnet, on a high port, so a probe can see the engine serve.
  void ConfigureTelnetOnly() {
    test::OnlyServices({ServiceId::Telnet});
    test::ConfigureService(ServiceId::Telnet, kTelnetPort);
    CloseRegistry();
  }
  static bool EngineUp() { return NamedLock::IsHeld("Harbix Engine") && test::Listening(kTelnetPort); }

  test::TempHome m_home;
};

TEST_F(EngineProcessTest, SecondStartReportsTheRunningEngineAndLeavesItAlone) {
  ConfigureTelnetOnly();
  ChildProcess first(HARBIXEN_PATH, {});
  ASSERT_TRUE(Eventually(EngineUp));
  ChildProcess second(HARBIXEN_PATH, {});
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_EQ(second.Output(), "Harbix Engine: Engine is running\n");
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(test::Listening(kTelnetPort));
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
}

TEST_F(EngineProcessTest, CloseWithNoEngineRunningSaysNothing) {
  for (const char* lpArg : {"CLOSE", "close", "Close"}) {
    ChildProcess closer(HARBIXEN_PATH, {lpArg});
    EXPECT_EQ(closer.Wait(), 0);
    EXPECT_EQ(closer.Output(), "");
  }
}

TEST_F(EngineProcessTest, AKilledEngineDoesNotBlockTheNextStart) {
  ConfigureTelnetOnly();
  {
    ChildProcess crashed(HARBIXEN_PATH, {});
    ASSERT_TRUE(Eventually(EngineUp));
    crashed.Signal(SIGKILL);
    EXPECT_EQ(crashed.Wait(), 128 + SIGKILL);
  }
  ChildProcess next(HARBIXEN_PATH, {});
  EXPECT_TRUE(Eventually(EngineUp));
  EXPECT_TRUE(next.Running());
}

TEST_F(EngineProcessTest, TermAndIntStopTheEngineCleanly) {
  ConfigureTelnetOnly();
  for (int nSignal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(nSignal);
    ChildProcess engine(HARBIXEN_PATH, {});
    ASSERT_TRUE(Eventually(EngineUp));
    const int hClient = test::ConnectTcp(kTelnetPort);  // an open session must not hold it up
    engine.Signal(nSignal);
    EXPECT_EQ(engine.Wait(), 0);
    EXPECT_FALSE(NamedLock::IsHeld("Harbix Engine"));
    EXPECT_FALSE(test::Listening(kTelnetPort));
    if (hClient >= 0) ::close(hClient);
  }
}

TEST_F(EngineProcessTest, ATakenControlPortStopsTheStart) {
  const int hSquatter = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = test::kLoopbackIp;
  address.sin_port = htons(9999);
  ASSERT_EQ(::bind(hSquatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ChildProcess engine(HARBIXEN_PATH, {});
  EXPECT_EQ(engine.Wait(), 1);
  EXPECT_EQ(engine.Output(), "Harbix Engine: Failed to create Control Socket !\n");
  EXPECT_FALSE(NamedLock::IsHeld("Harbix Engine"));
  ::close(hSquatter);
}

// Privileged ports: the engine runs as root here, in this test's own namespace.
TEST_F(EngineProcessTest, EmptyStoreRunsEveryServiceOnItsDefaultPort) {
  if (::geteuid() != 0) GTEST_SKIP() << "default ports need root";
  ChildProcess engine(HARBIXEN_PATH, {});
  const uint16_t kTcpPorts[] = {23, 1080, 1090, 2121, 2525, 8080};
  for (uint16_t wPort : kTcpPorts) EXPECT_TRUE(Eventually([&] { return test::Listening(wPort); })) << wPort;
  auto udpTaken = [](uint32_t dwIp, uint16_t wPort) {
    const int hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = dwIp;
    address.sin_port = htons(wPort);
    const bool bTaken = ::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    ::close(hSocket);
    return bTaken;
  };
  EXPECT_TRUE(Eventually([&] { return udpTaken(0, 53); })) << "DNS";
  EXPECT_TRUE(udpTaken(test::kLoopbackIp, 9999)) << "control socket";
  engine.Signal(SIGTERM);
  EXPECT_EQ(engine.Wait(), 0);
}

}  // namespace
}  // namespace harbix
