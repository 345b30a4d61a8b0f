// Where the pages' addresses come from and how typed addresses read back; and the Tools page's
// lookups, in a network namespace of the test's own so that no lookup leaves the machine.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cstdio>

#include "manager/AddressText.h"
#include "manager/ControlIds.h"
#include "manager/LocalAddresses.h"
#include "manager/ToolsPage.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/PrivateNetwork.h"

namespace harbix::manager {

class AddressSourcesTest : public QObject {
  Q_OBJECT

 private slots:
  void addressTextReadsBackStrictly_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<uint>("address");
    QTest::newRow("plain") << "192.168.1.10" << true << uint{kLanAddress};
    QTest::newRow("zero") << "0.0.0.0" << true << 0u;
    QTest::newRow("all ones") << "255.255.255.255" << false << 0u;
    QTest::newRow("above 255") << "1.2.3.256" << false << 0u;
    QTest::newRow("three parts") << "1.2.3" << false << 0u;
    QTest::newRow("five parts") << "1.2.3.4.5" << false << 0u;
    QTest::newRow("blank") << " 1.2.3.4" << false << 0u;
    QTest::newRow("sign") << "1.2.3.+4" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
  }
  void addressTextReadsBackStrictly() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(uint, address);
    const std::optional<uint32_t> dwAddress = ParseAddressText(text);
    QCOMPARE(dwAddress.has_value(), valid);
    if (valid) {
      QCOMPARE(*dwAddress, uint32_t{address});
      QCOMPARE(AddressText(*dwAddress), text);
    }
  }

  void localAddressesListTheInterfaces() {
    const std::vector<uint32_t> vAddresses = ListLocalAddresses();
    QVERIFY(std::find(vAddresses.begin(), vAddresses.end(), kLoopback) != vAddresses.end());
    QVERIFY(std::find(vAddresses.begin(), vAddresses.end(), 0u) == vAddresses.end());
    QVERIFY(vAddresses.size() <= kMaxLocalAddresses);
    QVERIFY(ListLocalAddresses(0).empty());
  }

  void toolsPageResolvesTheFirstWord() {
    ToolsPage page;
    page.show();
    auto* lpQuery = Control<QLineEdit>(&page, id::kResolveQuery);
    auto* lpResolve = Control<QPushButton>(&page, id::kResolve);
    QVERIFY(!lpResolve->isEnabled());
    Type(lpQuery, QStringLiteral("   "));
    QVERIFY(!lpResolve->isEnabled());
    Type(lpQuery, QStringLiteral(" localhost and more"));
    QVERIFY(lpResolve->isEnabled());
    Click(lpResolve);
    QCOMPARE(Control<QLabel>(&page, id::kPrimaryIp)->text(), QStringLiteral("Primary IP: 127.0.0.1"));
    QVERIFY(Control<QLabel>(&page, id::kHostName)->text().startsWith(QStringLiteral("Host Name: ")));
    QVERIFY(Control<QLabel>(&page, id::kHostName)->text() != QStringLiteral("Host Name: N/A"));
  }
};

}  // namespace harbix::manager

int main(int argc, char** argv) {
  if (!harbix::test::EnterPrivateNetwork()) {
    std::fprintf(stderr, "AddressSources_test: needs a network namespace of its own (run as root)\n");
    return 1;
  }
  QApplication application(argc, argv);
  harbix::manager::AddressSourcesTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "AddressSources_test.moc"
