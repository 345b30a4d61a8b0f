// The PortMap page: adding, refusing, editing and removing maps, and what Apply writes.
#include "manager/PortMapPage.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>

#include <memory>

#include "common/ControlMessage.h"
#include "manager/AddressText.h"
#include "manager/ControlIds.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/TempHome.h"

namespace harbix::manager {
namespace {

const QString kBindTaken = QStringLiteral("*** This Bind IP/Port combination is already used ***");
const QString kNoHost = QStringLiteral("*** You have to enter a Destination Host ***");

}  // namespace

class PortMapPageTest : public QObject {
  Q_OBJECT

  std::unique_ptr<harbix::test::TempHome> m_lpHome;
  std::unique_ptr<FakeEnvironment> m_lpEnvironment;
  std::unique_ptr<PortMapPage> m_lpPage;

  template <typename Widget>
  Widget* Get(int nId) {
    return Control<Widget>(m_lpPage.get(), nId);
  }
  QTreeWidget* List() { return Get<QTreeWidget>(id::kMapList); }
  QStringList Row(int nRow) {
    QStringList texts;
    for (int nColumn = 0; nColumn < List()->columnCount(); ++nColumn) texts << List()->topLevelItem(nRow)->text(nColumn);
    return texts;
  }
  void SelectRow(int nRow) {
    const QRect rect = List()->visualItemRect(List()->topLevelItem(nRow));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, rect.center());
    QVERIFY(Get<QPushButton>(id::kDelMap)->isEnabled());
  }
  // New Map, the host and the bind port typed in, Add Map.
  void AddMap(const QString& sHost, const QString& sBindPort) {
    Click(Get<QPushButton>(id::kNewMap));
    QCOMPARE(Get<QPushButton>(id::kNewMap)->text(), QStringLiteral("&Add Map"));
    Type(Get<QLineEdit>(id::kDestHost), sHost);
    Type(Get<QSpinBox>(id::kBindPort), sBindPort);
    Click(Get<QPushButton>(id::kNewMap));
  }
  void ExpectMessage(const QString& sCaption, const QString& sText) {
    QCOMPARE(m_lpEnvironment->m_vMessages.size(), size_t{1});
    QCOMPARE(m_lpEnvironment->m_vMessages.front().m_sCaption, sCaption);
    QCOMPARE(m_lpEnvironment->m_vMessages.front().m_sText, sText);
    m_lpEnvironment->m_vMessages.clear();
  }

 private slots:
  void init() {
    m_lpHome = std::make_unique<harbix::test::TempHome>();
    m_lpEnvironment = std::make_unique<FakeEnvironment>();
    m_lpPage = std::make_unique<PortMapPage>(m_lpEnvironment->Get());
    m_lpPage->show();
  }
  void cleanup() {
    m_lpPage.reset();
    m_lpEnvironment.reset();
    m_lpHome.reset();
  }

  void newMapShowsTheDefaults() {
    QCOMPARE(List()->headerItem()->text(0), QStringLiteral("Bind IP"));
    Click(Get<QPushButton>(id::kNewMap));
    QCOMPARE(Get<QComboBox>(id::kBindIp)->currentText(), QStringLiteral("ANY ADDRESS"));
    QCOMPARE(Get<QSpinBox>(id::kBindPort)->value(), 1);
    QCOMPARE(Get<QSpinBox>(id::kDestPort)->value(), 1);
    QVERIFY(Get<QLineEdit>(id::kDestHost)->text().isEmpty());
    QVERIFY(Get<QRadioButton>(id::kTypeBoth)->isChecked());
    QVERIFY(Get<QCheckBox>(id::kRunService)->isChecked());
    QVERIFY(Get<QCheckBox>(id::kUseThreads)->isChecked());
    QVERIFY(Get<QCheckBox>(id::kWaitReply)->isChecked());
    QVERIFY(Get<QRadioButton>(id::kIncomingList.m_nAllow)->isChecked());
    QVERIFY2(!m_lpPage->Modified(), "a map being added is not in the list yet");
  }

  void mapsWithoutHostOrWithATakenBindAreRefused() {
    AddMap(QStringLiteral("   "), QStringLiteral("5000"));
    ExpectMessage(QStringLiteral("New Map"), kNoHost);
    QCOMPARE(List()->topLevelItemCount(), 0);
    QCOMPARE(Get<QPushButton>(id::kNewMap)->text(), QStringLiteral("&Add Map"));  // still adding

    Type(Get<QLineEdit>(id::kDestHost), QStringLiteral("  example.org  "));
    Click(Get<QPushButton>(id::kNewMap));
    QVERIFY(m_lpEnvironment->m_vMessages.empty());
    QCOMPARE(Row(0), QStringList({"ANY ADDRESS", "5000", "example.org", "1", "TCP/UDP", "Enabled"}));
    QCOMPARE(Get<QPushButton>(id::kNewMap)->text(), QStringLiteral("&New Map"));
    QVERIFY(m_lpPage->Modified());

    AddMap(QStringLiteral("other.example"), QStringLiteral("5000"));
    ExpectMessage(QStringLiteral("New Map"), kBindTaken);
    QCOMPARE(List()->topLevelItemCount(), 1);
    Type(Get<QSpinBox>(id::kBindPort), QStringLiteral("5001"));
    Click(Get<QPushButton>(id::kNewMap));
    QCOMPARE(List()->topLevelItemCount(), 2);
  }

  void editsOfASelectedMapKeepBindsApart() {
    AddMap(QStringLiteral("a.example"), QStringLiteral("5000"));
    AddMap(QStringLiteral("b.example"), QStringLiteral("5001"));
    SelectRow(1);
    Type(Get<QSpinBox>(id::kBindPort), QStringLiteral("5000"));  // map 0's: silently restored
    QCOMPARE(Get<QSpinBox>(id::kBindPort)->value(), 5001);
    QVERIFY(m_lpEnvironment->m_vMessages.empty());
    Choose(Get<QComboBox>(id::kBindIp), QStringLiteral("127.0.0.1"));
    Type(Get<QSpinBox>(id::kBindPort), QStringLiteral("5000"));  // 127.0.0.1:5000 is free
    QCOMPARE(Row(1).mid(0, 2), QStringList({"127.0.0.1", "5000"}));
    QTest::keyClick(Get<QComboBox>(id::kBindIp), Qt::Key_Up);  // to ANY ADDRESS: ANY:5000 is map 0's
    ExpectMessage(QStringLiteral("New Map"), kBindTaken);
    QCOMPARE(Get<QComboBox>(id::kBindIp)->currentText(), QStringLiteral("127.0.0.1"));
    QCOMPARE(m_lpPage->Maps()[1].m_dwBindIp, kLoopback);

    Click(Get<QRadioButton>(id::kTypeUdp));
    Click(Get<QCheckBox>(id::kRunService));
    Type(Get<QSpinBox>(id::kDestPort), QStringLiteral("65535"));
    QCOMPARE(Row(1), QStringList({"127.0.0.1", "5000", "b.example", "65535", "UDP", "Disabled"}));
  }

  void delMapAsksFirst() {
    AddMap(QStringLiteral("a.example"), QStringLiteral("5000"));
    AddMap(QStringLiteral("b.example"), QStringLiteral("5001"));
    m_lpPage->Apply();
    SelectRow(0);
    m_lpEnvironment->m_bAnswer = false;
    Click(Get<QPushButton>(id::kDelMap));
    ExpectMessage(QStringLiteral("PortMap"), QStringLiteral("Remove this PortMap ?"));
    QCOMPARE(List()->topLevelItemCount(), 2);
    QVERIFY(!m_lpPage->Modified());
    m_lpEnvironment->m_bAnswer = true;
    Click(Get<QPushButton>(id::kDelMap));
    m_lpEnvironment->m_vMessages.clear();
    QCOMPARE(List()->topLevelItemCount(), 1);
    QCOMPARE(Row(0).at(2), QStringLiteral("b.example"));
    QVERIFY(m_lpPage->Modified());
    QVERIFY(!Get<QPushButton>(id::kDelMap)->isEnabled());
  }

  void applyWritesEveryMapInListOrder() {
    m_lpEnvironment->m_bEngineRuns = true;
    AddMap(QStringLiteral("a.example"), QStringLiteral("5000"));
    Click(Get<QPushButton>(id::kNewMap));
    Type(Get<QLineEdit>(id::kDestHost), QStringLiteral("b.example"));
    Type(Get<QSpinBox>(id::kBindPort), QStringLiteral("6000"));
    Type(Get<QSpinBox>(id::kDestPort), QStringLiteral("7000"));
    Click(Get<QRadioButton>(id::kTypeTcp));
    Click(Get<QCheckBox>(id::kUseThreads));
    Click(Get<QCheckBox>(id::kWaitReply));
    Click(Get<QPushButton>(id::kIncomingList.m_nNew));
    Type(Get<QLineEdit>(id::kIncomingList.m_nAddress), QStringLiteral("127.0.0.0"));
    Type(Get<QLineEdit>(id::kIncomingList.m_nMask), QStringLiteral("255.0.0.0"));
    Click(Get<QPushButton>(id::kIncomingList.m_nNew));
    Click(Get<QPushButton>(id::kNewMap));
    m_lpPage->Apply();
    QCOMPARE(m_lpEnvironment->m_vRequests, (std::vector<uint8_t>{control::kReloadMaps}));
    QVERIFY(!m_lpPage->Modified());

    const std::vector<MapRecord> vStored = ReadMapRecords();
    QCOMPARE(vStored, m_lpPage->Maps());
    QCOMPARE(vStored.size(), size_t{2});
    QCOMPARE(vStored[0].m_sDestHost, std::string("a.example"));
    const MapRecord& second = vStored[1];
    QCOMPARE(second.m_wBindPort, uint16_t{6000});
    QCOMPARE(second.m_wDestPort, uint16_t{7000});
    QCOMPARE(second.m_serviceType, MapServiceType::Tcp);
    QVERIFY(!second.m_bUseThreads);
    QVERIFY(!second.m_bWaitReply);
    QVERIFY(!second.m_incoming.Deny());
    QCOMPARE(second.m_incoming.Entries(), (std::map<uint32_t, uint32_t>{{0x0000007F, 0x000000FF}}));

    // A new page reads back what was applied.
    PortMapPage reread(m_lpEnvironment->Get());
    QCOMPARE(reread.Maps(), vStored);
  }
};

}  // namespace harbix::manager

QTEST_MAIN(harbix::manager::PortMapPageTest)
#include "PortMapPage_test.moc"
