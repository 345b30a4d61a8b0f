// The settings part of the General page: refresh, connection limit, priority, the taskbar icon
// and the engine's autostart.
#include "manager/GeneralPage.h"

#include <QCheckBox>
#include <QSpinBox>
#include <QTest>

#include <memory>

#include "common/AppPaths.h"
#include "common/Autostart.h"
#include "common/ControlMessage.h"
#include "common/KeyReader.h"
#include "manager/ControlIds.h"
#include "platform/Registry.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/TempHome.h"

namespace harbix::manager {

class GeneralPageTest : public QObject {
  Q_OBJECT

  std::unique_ptr<harbix::test::TempHome> m_lpHome;
  std::unique_ptr<FakeEnvironment> m_lpEnvironment;

  std::unique_ptr<GeneralPage> MakePage() {
    auto lpPage = std::make_unique<GeneralPage>(m_lpEnvironment->Get());
    lpPage->show();
    return lpPage;
  }
  // What an installation provides: the autostart keys and the engine's App Paths entry.
  static void Install() {
    RegistryKey::Create(Hive::LocalMachine, kRunServicesKey);
    RegistryKey::Create(Hive::CurrentUser, kRunKey);
    WriteEngineAppPath("/usr/sbin/harbixen");
  }

 private slots:
  void init() {
    m_lpHome = std::make_unique<harbix::test::TempHome>();
    m_lpEnvironment = std::make_unique<FakeEnvironment>();
  }
  void cleanup() {
    m_lpEnvironment.reset();
    m_lpHome.reset();
  }

  void showsTheStoredSettings_data() {
    QTest::addColumn<int>("storedPriority");
    QTest::addColumn<QString>("shown");
    QTest::newRow("idle") << 64 << "IDLE (Default)";
    QTest::newRow("normal") << 32 << "Normal";
    QTest::newRow("high") << 128 << "High";
    QTest::newRow("real time") << 256 << "RealTime (USE WITH CARE)";
    QTest::newRow("unknown") << 100 << "Normal";
  }
  void showsTheStoredSettings() {
    QFETCH(int, storedPriority);
    QFETCH(QString, shown);
    if (auto writer = WriteManagerKey("General")) {
      writer->Number("Process Priority", storedPriority);
      writer->Number("Max Connections", 5000);
    }
    auto lpPage = MakePage();
    QCOMPARE(Control<QComboBox>(lpPage.get(), id::kProcessPriority)->currentText(), shown);
    QCOMPARE(Control<QSpinBox>(lpPage.get(), id::kMaxConnections)->value(), 2000);
    QCOMPARE(Control<QSpinBox>(lpPage.get(), id::kRefreshRate)->value(), 3);
    QVERIFY(!Control<QCheckBox>(lpPage.get(), id::kNoRefresh)->isChecked());
    QVERIFY(!Control<QCheckBox>(lpPage.get(), id::kShowIcon)->isChecked());
    QVERIFY(!Control<QCheckBox>(lpPage.get(), id::kEngineAutostart)->isChecked());
    QVERIFY(!lpPage->Modified());
  }

  void applyWritesGeneralAndAsksForItsReload() {
    m_lpEnvironment->m_bEngineRuns = true;
    auto lpPage = MakePage();
    auto* lpRefresh = Control<QSpinBox>(lpPage.get(), id::kRefreshRate);
    Type(lpRefresh, QStringLiteral("60"));
    Step(lpRefresh, 1);
    QCOMPARE(lpRefresh->value(), 60);
    Click(Control<QCheckBox>(lpPage.get(), id::kNoRefresh));
    auto* lpLimit = Control<QSpinBox>(lpPage.get(), id::kMaxConnections);
    Type(lpLimit, QStringLiteral("2500"));
    QVERIFY(lpLimit->value() <= 2000);
    Type(lpLimit, QStringLiteral("150"));
    Choose(Control<QComboBox>(lpPage.get(), id::kProcessPriority), QStringLiteral("High"));
    QVERIFY(lpPage->Modified());
    lpPage->Apply();
    const GeneralConfig stored = ReadGeneralConfig();
    QCOMPARE(stored.m_nRefreshRate, 60);
    QVERIFY(stored.m_bNoRefresh);
    QCOMPARE(stored.m_nMaxConnections, 150);
    QCOMPARE(stored.m_nProcessPriority, kPriorityHigh);
    QCOMPARE(m_lpEnvironment->m_vRequests, (std::vector<uint8_t>{control::kReloadGeneral}));
  }

  void engineAutostartFollowsTheBox() {
    Install();
    auto lpPage = MakePage();
    Click(Control<QCheckBox>(lpPage.get(), id::kEngineAutostart));
    lpPage->Apply();
    QVERIFY(EngineAutostartSet());
    const auto value = RegistryKey::Open(Hive::LocalMachine, kRunServicesKey)->GetValue(kEngineAutostartValue);
    QCOMPARE(value->sData, std::string("/usr/sbin/harbixen") + '\0');
    auto lpReopened = MakePage();
    QVERIFY(Control<QCheckBox>(lpReopened.get(), id::kEngineAutostart)->isChecked());
    Click(Control<QCheckBox>(lpReopened.get(), id::kEngineAutostart));
    lpReopened->Apply();
    QVERIFY(!EngineAutostartSet());
  }

  void uncheckingTheIconClosesItAndItsAutostart() {
    Install();
    SetIconAutostart();
    m_lpEnvironment->m_bIconRuns = true;
    auto lpPage = MakePage();
    auto* lpShowIcon = Control<QCheckBox>(lpPage.get(), id::kShowIcon);
    QVERIFY(lpShowIcon->isChecked());
    Click(lpShowIcon);
    lpPage->Apply();
    QCOMPARE(m_lpEnvironment->m_nIconCloses, 1);
    QCOMPARE(m_lpEnvironment->m_nIconStarts, 0);
    QVERIFY(!IconAutostartSet());
    Click(lpShowIcon);
    lpPage->Apply();
    QCOMPARE(m_lpEnvironment->m_nIconStarts, 1);
  }
};

}  // namespace harbix::manager

QTEST_MAIN(harbix::manager::GeneralPageTest)
#include "GeneralPage_test.moc"
