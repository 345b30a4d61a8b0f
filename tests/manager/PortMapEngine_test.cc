// A port map added on the PortMap page runs in a real engine once applied: the page writes the
// store and asks the engine over its control channel, and a TCP connection goes through the
// new map. The program runs in a network namespace of its own, on loopback only.
#include <QApplication>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "common/EngineChannel.h"
#include "common/ServiceConfig.h"
#include "manager/ControlIds.h"
#include "manager/EngineLink.h"
#include "manager/PortMapPage.h"
#include "platform/NamedLock.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestNet.h"

namespace harbix::manager {
namespace {

constexpr int kWaitMs = 20000;
constexpr uint16_t kMapPort = 17017;

template <typename Cond>
bool WaitUntil(Cond cond, int nTimeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool EngineAnswers() {
  EngineChannel channel;
  return channel.Open() && channel.Hello(std::chrono::milliseconds(500));
}

// The services stay off: only the map runs.
void TurnServicesOff() {
  for (const ServiceTraits& traits : AllServices()) {
    ServiceConfig config(traits.m_id);
    config.m_bRunService = false;
    WriteServiceConfig(config);
  }
}

}  // namespace

class PortMapEngineTest : public QObject {
  Q_OBJECT

 private slots:
  void appliedMapCarriesAConnection() {
    harbix::test::TempHome home;
    TurnServicesOff();
    harbix::test::TcpTestServer echo(harbix::test::TcpTestServer::Mode::Echo);
    harbix::test::ChildProcess engine(HARBIXEN_PATH, {});
    QVERIFY2(WaitUntil([] { return EngineRuns() && EngineAnswers(); }), qPrintable(QString::fromStdString(engine.Output())));
    QVERIFY(!harbix::test::Listening(kMapPort));

    // The engine is the real one; only the message boxes are the test's.
    Environment environment = SystemEnvironment();
    std::vector<QString> vMessages;
    environment.m_inform = [&](QWidget*, const QString&, const QString& sText) { vMessages.push_back(sText); };
    PortMapPage page(environment);
    page.show();
    Click(Control<QPushButton>(&page, id::kNewMap));
    Type(Control<QLineEdit>(&page, id::kDestHost), QStringLiteral("127.0.0.1"));
    Type(Control<QSpinBox>(&page, id::kBindPort), QString::number(kMapPort));
    Type(Control<QSpinBox>(&page, id::kDestPort), QString::number(echo.Port()));
    Click(Control<QRadioButton>(&page, id::kTypeTcp));
    // A new map admits only the clients its list names.
    Click(Control<QPushButton>(&page, id::kIncomingList.m_nNew));
    Type(Control<QLineEdit>(&page, id::kIncomingList.m_nAddress), QStringLiteral("127.0.0.0"));
    Type(Control<QLineEdit>(&page, id::kIncomingList.m_nMask), QStringLiteral("255.0.0.0"));
    Click(Control<QPushButton>(&page, id::kIncomingList.m_nNew));
    Click(Control<QPushButton>(&page, id::kNewMap));
    QVERIFY(vMessages.empty());
    QCOMPARE(page.Maps().size(), size_t{1});
    QVERIFY(!harbix::test::Listening(kMapPort));

    page.Apply();
    QVERIFY2(WaitUntil([] { return harbix::test::Listening(kMapPort); }), qPrintable(QString::fromStdString(engine.Output())));
    const int hClient = harbix::test::ConnectTcp(kMapPort);
    QVERIFY(hClient >= 0);
    const std::string sGreeting = "through the new map\n";
    QVERIFY(harbix::test::SendAll(hClient, sGreeting));
    QCOMPARE(harbix::test::RecvSome(hClient, sGreeting.size()), sGreeting);
    ::close(hClient);
    QVERIFY(echo.Accepted() >= 1);

    harbix::test::ChildProcess closer(HARBIXEN_PATH, {"CLOSE"});
    QCOMPARE(closer.Wait(kWaitMs), 0);
    QCOMPARE(engine.Wait(kWaitMs), 0);
    QVERIFY2(engine.Output().find("Sanitizer") == std::string::npos, engine.Output().c_str());
  }
};

}  // namespace harbix::manager

int main(int argc, char** argv) {
  // Before any thread starts: the engine child inherits the namespace.
  if (!harbix::test::EnterPrivateNetwork()) {
    std::fprintf(stderr, "PortMapEngine_test: needs a network namespace of its own (run as root)\n");
    return 1;
  }
  QApplication application(argc, argv);
  harbix::manager::PortMapEngineTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "PortMapEngine_test.moc"
