// The seven service pages: what they show from the store, what Apply writes and asks of the
// engine, and the HTTP, SOCKS and DNS specifics (the cache dialog has a suite of its own).
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <fstream>
#include <memory>

#include "common/ControlMessage.h"
#include "common/KeyReader.h"
#include "manager/AddressText.h"
#include "manager/ControlIds.h"
#include "manager/DnsPage.h"
#include "manager/HttpPage.h"
#include "manager/SocksPage.h"
#include "platform/Registry.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/TempHome.h"

Q_DECLARE_METATYPE(harbix::ServiceId)

namespace harbix::manager {
namespace {

uint32_t Ip(const char* lpText) { return *ParseAddressText(lpText); }

void StorePort(ServiceId id, uint16_t wPort) {
  if (auto writer = WriteManagerKey(TraitsOf(id).m_lpKey)) writer->Port("Bind Port", wPort);
}

bool HasValue(const char* lpSubkey, const char* lpValue) {
  auto key = RegistryKey::Open(Hive::LocalMachine, ManagerKeyPath(lpSubkey));
  return key && key->GetValue(lpValue).has_value();
}

}  // namespace

class ServicePagesTest : public QObject {
  Q_OBJECT

  std::unique_ptr<harbix::test::TempHome> m_lpHome;
  std::unique_ptr<FakeEnvironment> m_lpEnvironment;

  std::unique_ptr<ServicePage> MakePage(ServiceId id) {
    std::unique_ptr<ServicePage> lpPage;
    switch (id) {
      case ServiceId::Http:
        lpPage = std::make_unique<HttpPage>(m_lpEnvironment->Get());
        break;
      case ServiceId::Socks:
        lpPage = std::make_unique<SocksPage>(m_lpEnvironment->Get());
        break;
      case ServiceId::Dns:
        lpPage = std::make_unique<DnsPage>(m_lpEnvironment->Get());
        break;
      default:
        lpPage = std::make_unique<ServicePage>(id, QString::fromLatin1(TraitsOf(id).m_lpName), m_lpEnvironment->Get());
    }
    lpPage->show();
    return lpPage;
  }

  // New, address, mask, Add on one of the page's list editors.
  static void AddEntry(QWidget* lpPage, const id::AccessListIds& ids, const QString& sAddress, const QString& sMask) {
    Click(Control<QPushButton>(lpPage, ids.m_nNew));
    Type(Control<QLineEdit>(lpPage, ids.m_nAddress), sAddress);
    Type(Control<QLineEdit>(lpPage, ids.m_nMask), sMask);
    Click(Control<QPushButton>(lpPage, ids.m_nNew));
  }

  static bool ShowsText(QWidget* lpPage, const QString& sText) {
    for (const QLabel* lpLabel : lpPage->findChildren<QLabel*>()) {
      if (lpLabel->text() == sText) return true;
    }
    return false;
  }

  static void AddServiceRows() {
    QTest::addColumn<ServiceId>("service");
    for (const ServiceTraits& traits : AllServices()) {
      if (!traits.m_bUdp) QTest::newRow(traits.m_lpName) << traits.m_id;
    }
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

  void pagesShowTheDefaults_data() { AddServiceRows(); }
  void pagesShowTheDefaults() {
    QFETCH(ServiceId, service);
    const ServiceTraits& traits = TraitsOf(service);
    auto lpPage = MakePage(service);
    auto* lpRun = Control<QCheckBox>(lpPage.get(), id::kRunService);
    QCOMPARE(lpRun->text(), QString::fromLatin1(traits.m_lpName) + " Proxy Service Enable");
    QVERIFY(lpRun->isChecked());
    QCOMPARE(Control<QSpinBox>(lpPage.get(), id::kBindPort)->value(), int{traits.m_wDefaultPort});
    QVERIFY(ShowsText(lpPage.get(), QStringLiteral("Default Port is %1").arg(traits.m_wDefaultPort)));
    QVERIFY(!Control<QCheckBox>(lpPage.get(), id::kLogActivity)->isChecked());
    QVERIFY(Control<QCheckBox>(lpPage.get(), id::kUseThreads)->isChecked());
    auto* lpBindIp = Control<QComboBox>(lpPage.get(), id::kBindIp);
    QCOMPARE(lpBindIp->currentText(), QStringLiteral("ANY ADDRESS"));
    QCOMPARE(lpBindIp->count(), 3);  // ANY ADDRESS and the two addresses of the host
    QCOMPARE(Control<QLabel>(lpPage.get(), id::kEngineState)->text(), QStringLiteral("Engine is NOT running..."));
    QCOMPARE(Control<QLabel>(lpPage.get(), id::kActiveConnections)->text(), QStringLiteral("Total Active Connections: N/A"));
    QVERIFY(Control<QRadioButton>(lpPage.get(), id::kIncomingList.m_nDeny)->isChecked());
    QVERIFY(Control<QRadioButton>(lpPage.get(), id::kOutgoingList.m_nDeny)->isChecked());
    QVERIFY(!lpPage->Modified());
  }

  void editsAreWrittenOnlyOnApply_data() { AddServiceRows(); }
  void editsAreWrittenOnlyOnApply() {
    QFETCH(ServiceId, service);
    m_lpEnvironment->m_bEngineRuns = true;
    auto lpPage = MakePage(service);
    Click(Control<QCheckBox>(lpPage.get(), id::kRunService));
    QVERIFY(lpPage->Modified());
    Click(Control<QCheckBox>(lpPage.get(), id::kLogActivity));
    Click(Control<QCheckBox>(lpPage.get(), id::kUseThreads));
    Choose(Control<QComboBox>(lpPage.get(), id::kBindIp), QStringLiteral("127.0.0.1"));
    Type(Control<QSpinBox>(lpPage.get(), id::kBindPort), QStringLiteral("40000"));  // above the old 32767
    AddEntry(lpPage.get(), id::kIncomingList, "10.0.0.0", "255.0.0.0");
    Click(Control<QRadioButton>(lpPage.get(), id::kIncomingList.m_nAllow));
    AddEntry(lpPage.get(), id::kOutgoingList, "192.168.0.0", "255.255.0.0");
    QVERIFY(!HasValue(TraitsOf(service).m_lpKey, "Bind Port"));
    QVERIFY(m_lpEnvironment->m_vRequests.empty());

    lpPage->Apply();
    QVERIFY(!lpPage->Modified());
    const ServiceConfig stored = ReadServiceConfig(service);
    QCOMPARE(stored.m_bRunService, false);
    QCOMPARE(stored.m_bLogActivity, true);
    QCOMPARE(stored.m_bUseThreads, false);
    QCOMPARE(stored.m_dwBindIp, kLoopback);
    QCOMPARE(stored.m_wBindPort, uint16_t{40000});
    QCOMPARE(stored.m_incoming.Deny(), false);
    QCOMPARE(stored.m_incoming.Entries(), (std::map<uint32_t, uint32_t>{{Ip("10.0.0.0"), Ip("255.0.0.0")}}));
    QCOMPARE(stored.m_outgoing.Deny(), true);
    QCOMPARE(stored.m_outgoing.Entries(), (std::map<uint32_t, uint32_t>{{Ip("192.168.0.0"), Ip("255.255.0.0")}}));
    const std::vector<uint8_t> vReload = {static_cast<uint8_t>(control::kStartService + static_cast<uint8_t>(service))};
    QCOMPARE(m_lpEnvironment->m_vRequests, vReload);
  }

  void applyWithoutEngineSendsNothing() {
    auto lpPage = MakePage(ServiceId::Telnet);
    Click(Control<QCheckBox>(lpPage.get(), id::kLogActivity));
    lpPage->Apply();
    QVERIFY(ReadServiceConfig(ServiceId::Telnet).m_bLogActivity);
    QVERIFY(m_lpEnvironment->m_vRequests.empty());
  }

  void portSpinHoldsEveryPort() {
    StorePort(ServiceId::Ftp, 65535);
    auto lpPage = MakePage(ServiceId::Ftp);
    auto* lpPort = Control<QSpinBox>(lpPage.get(), id::kBindPort);
    QCOMPARE(lpPort->value(), 65535);
    Step(lpPort, 1);
    QCOMPARE(lpPort->value(), 65535);
    QVERIFY2(!lpPage->Modified(), "an unchanged port does not mark the page");
    Type(lpPort, QStringLiteral("1"));
    Step(lpPort, -1);
    QCOMPARE(lpPort->value(), 1);
    Type(lpPort, QStringLiteral("70000"));
    QVERIFY(lpPort->value() <= 65535);
    Type(lpPort, QStringLiteral("2"));
    Step(lpPort, -5);
    QCOMPARE(lpPort->value(), 1);
    lpPage->Apply();
    QCOMPARE(ReadServiceConfig(ServiceId::Ftp).m_wBindPort, uint16_t{1});
  }

  void usersSetsOnlyForVersion5() {
    auto lpPage = MakePage(ServiceId::Socks);
    auto* lpUsers = Control<QPushButton>(lpPage.get(), id::kUsersSets);
    QVERIFY(Control<QRadioButton>(lpPage.get(), id::kSocksBoth)->isChecked());
    QVERIFY(lpUsers->isEnabled());
    Click(Control<QRadioButton>(lpPage.get(), id::kSocksV4));
    QVERIFY(!lpUsers->isEnabled());
    QVERIFY(lpPage->Modified());
    lpPage->Apply();
    QCOMPARE(ReadServiceConfig(ServiceId::Socks).m_socks.m_nVersionType, 0);
    Click(Control<QRadioButton>(lpPage.get(), id::kSocksV5));
    QVERIFY(lpUsers->isEnabled());
    lpPage->Apply();
    QCOMPARE(ReadServiceConfig(ServiceId::Socks).m_socks.m_nVersionType, 1);
  }

  void usersDialogAddsOnlyWhatItShould() {
    m_lpEnvironment->m_bEngineRuns = true;
    auto lpPage = MakePage(ServiceId::Socks);
    auto* lpSocks = static_cast<SocksPage*>(lpPage.get());
    Click(Control<QPushButton>(lpPage.get(), id::kUsersSets));
    SocksUsersDialog* lpDialog = lpSocks->UsersDialog();
    QVERIFY(lpDialog && lpDialog->isVisible());
    QCOMPARE(lpDialog->windowTitle(), QStringLiteral("SOCKS Authentication"));
    auto* lpNew = Control<QPushButton>(lpDialog, id::kNewUser);
    auto* lpOk = Control<QPushButton>(lpDialog, id::kOk);
    auto* lpClose = Control<QPushButton>(lpDialog, id::kCancel);
    auto* lpUsers = Control<QListWidget>(lpDialog, id::kUserList);
    auto addUser = [&](const QString& sName, const QString& sPassword, const QString& sRetyped) {
      Click(lpNew);
      QCOMPARE(lpNew->text(), QStringLiteral("&Add"));
      Type(Control<QLineEdit>(lpDialog, id::kUserName), sName);
      Type(Control<QLineEdit>(lpDialog, id::kPassword), sPassword);
      Type(Control<QLineEdit>(lpDialog, id::kRetypePassword), sRetyped);
      Click(lpNew);
      QCOMPARE(lpNew->text(), QStringLiteral("&New"));
      QVERIFY(!Control<QLineEdit>(lpDialog, id::kUserName)->isEnabled());
    };
    QVERIFY(!lpOk->isEnabled());
    QCOMPARE(lpClose->text(), QStringLiteral("Close"));
    addUser("alice", "secret", "secrex");
    QCOMPARE(lpUsers->count(), 0);
    QVERIFY(!lpOk->isEnabled());
    addUser("  bob smith", " pw1 ", "pw1");  // each edit keeps its first word
    QCOMPARE(Lines(lpUsers), QStringList({"bob"}));
    QVERIFY(lpOk->isEnabled());
    QCOMPARE(lpClose->text(), QStringLiteral("Cancel"));
    addUser("bob", "other", "other");  // the name is taken
    addUser("carol", "pw2", "pw2");
    addUser("dave", "", "");
    QCOMPARE(Lines(lpUsers), QStringList({"bob", "carol"}));
    Select(lpUsers, 1);
    Click(Control<QPushButton>(lpDialog, id::kDelUser));
    QCOMPARE(Lines(lpUsers), QStringList({"bob"}));
    Click(Control<QCheckBox>(lpDialog, id::kAllowAnonymous));
    QVERIFY(!HasValue("SOCKS", "Users Count"));
    Click(lpOk);
    QVERIFY(!lpDialog->isVisible());
    const ServiceConfig stored = ReadServiceConfig(ServiceId::Socks);
    QCOMPARE(stored.m_socks.m_users, (std::map<std::string, std::string>{{"bob", "pw1"}}));
    QCOMPARE(stored.m_socks.m_bAllowAnonymous, false);
    QCOMPARE(m_lpEnvironment->m_vRequests, (std::vector<uint8_t>{control::kStartService + 5}));
    QVERIFY2(!lpPage->Modified(), "the dialog writes for itself");
  }

  void cancelledUsersDialogKeepsNothing() {
    auto lpPage = MakePage(ServiceId::Socks);
    auto* lpSocks = static_cast<SocksPage*>(lpPage.get());
    Click(Control<QPushButton>(lpPage.get(), id::kUsersSets));
    SocksUsersDialog* lpDialog = lpSocks->UsersDialog();
    Click(Control<QPushButton>(lpDialog, id::kNewUser));
    Type(Control<QLineEdit>(lpDialog, id::kUserName), "eve");
    Type(Control<QLineEdit>(lpDialog, id::kPassword), "pw");
    Type(Control<QLineEdit>(lpDialog, id::kRetypePassword), "pw");
    Click(Control<QPushButton>(lpDialog, id::kNewUser));
    QCOMPARE(Control<QListWidget>(lpDialog, id::kUserList)->count(), 1);
    Click(Control<QPushButton>(lpDialog, id::kCancel));
    QTRY_VERIFY(!lpSocks->UsersDialog());  // closed and gone
    QVERIFY(!HasValue("SOCKS", "Users Count"));
    Click(Control<QPushButton>(lpPage.get(), id::kUsersSets));
    QCOMPARE(Control<QListWidget>(lpSocks->UsersDialog(), id::kUserList)->count(), 0);
  }

  void dnsPageOffersTheHostsNameServers() {
    const std::string sResolv = m_lpHome->Path() + "/resolv.conf";
    std::ofstream(sResolv) << "search example\nnameserver 10.0.0.53\nnameserver ::1\n#nameserver 1.1.1.1\n"
                              "nameserver 10.0.0.54 # second\nnameserver 300.1.1.1\n";
    m_lpEnvironment->Get().m_sResolvConf = sResolv;
    m_lpEnvironment->m_bEngineRuns = true;
    auto lpPage = MakePage(ServiceId::Dns);
    QVERIFY(!Control<QCheckBox>(lpPage.get(), id::kUseThreads));
    QVERIFY(!Control<QListWidget>(lpPage.get(), id::kOutgoingList.m_nList));
    QCOMPARE(Control<QRadioButton>(lpPage.get(), id::kIncomingList.m_nAllow)->text(),
             QStringLiteral("Allow Only these IP Addresses to connect"));
    QVERIFY(ShowsText(lpPage.get(), QStringLiteral("This is a UDP Server")));
    auto* lpServer = Control<QComboBox>(lpPage.get(), id::kDnsServer);
    QCOMPARE(lpServer->count(), 2);
    QCOMPARE(lpServer->itemText(0), QStringLiteral("10.0.0.53"));
    QCOMPARE(lpServer->itemText(1), QStringLiteral("10.0.0.54"));
    QCOMPARE(lpServer->currentText(), QStringLiteral("255.255.255.255"));  // none chosen

    Type(lpServer->lineEdit(), QStringLiteral("10.0.0.54"));
    QCOMPARE(lpServer->currentIndex(), 1);
    Type(lpServer->lineEdit(), QStringLiteral("10.0.0"));  // not an address: the server stays
    Click(Control<QCheckBox>(lpPage.get(), id::kForwardOnly));
    lpPage->Apply();
    const ServiceConfig stored = ReadServiceConfig(ServiceId::Dns);
    QCOMPARE(stored.m_dns.m_dwDnsServer, Ip("10.0.0.54"));
    QVERIFY(stored.m_dns.m_bForwardOnly);
    QCOMPARE(m_lpEnvironment->m_vRequests, (std::vector<uint8_t>{control::kStartService + 0}));

    Choose(lpServer, QStringLiteral("10.0.0.53"));
    lpPage->Apply();
    QCOMPARE(ReadServiceConfig(ServiceId::Dns).m_dns.m_dwDnsServer, Ip("10.0.0.53"));
  }

  void openHostsFileOpensAnExistingFileOnly() {
    const std::string sHosts = m_lpHome->Path() + "/hosts";
    m_lpEnvironment->Get().m_sHostsFile = sHosts;
    auto lpPage = MakePage(ServiceId::Dns);
    Click(Control<QPushButton>(lpPage.get(), id::kOpenHostsFile));
    QVERIFY(m_lpEnvironment->m_vOpened.empty());
    std::ofstream(sHosts) << "127.0.0.1 localhost\n";
    Click(Control<QPushButton>(lpPage.get(), id::kOpenHostsFile));
    QCOMPARE(m_lpEnvironment->m_vOpened, (std::vector<QString>{QString::fromStdString(sHosts)}));
    QVERIFY(!lpPage->Modified());
  }

  void storedBindAddressTheHostLacksIsKept() {
    ServiceConfig config(ServiceId::Pna);
    config.m_dwBindIp = Ip("10.9.8.7");
    WriteServiceConfig(config);
    auto lpPage = MakePage(ServiceId::Pna);
    QCOMPARE(Control<QComboBox>(lpPage.get(), id::kBindIp)->currentText(), QStringLiteral("ANY ADDRESS"));
    Click(Control<QCheckBox>(lpPage.get(), id::kLogActivity));
    lpPage->Apply();
    QCOMPARE(ReadServiceConfig(ServiceId::Pna).m_dwBindIp, Ip("10.9.8.7"));
  }
};

}  // namespace harbix::manager

QTEST_MAIN(harbix::manager::ServicePagesTest)
#include "ServicePages_test.moc"
