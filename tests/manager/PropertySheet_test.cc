// The sheet: its pages in tab order, Apply enabled by edits, OK and Apply writing, Cancel not,
// and the help of the controls.
#include "manager/PropertySheet.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabBar>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <memory>

#include "common/GeneralConfig.h"
#include "common/KeyReader.h"
#include "common/ServiceConfig.h"
#include "manager/ConfigPage.h"
#include "manager/ControlIds.h"
#include "manager/HelpTopics.h"
#include "platform/Registry.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/TempHome.h"

namespace harbix::manager {
namespace {

// Whether any key of the store holds a value.
bool StoreHoldsValues() {
  auto root = RegistryKey::Open(Hive::LocalMachine, kManagerRoot);
  if (!root) return false;
  if (!root->Values().empty()) return true;
  for (const std::string& sSubkey : root->SubKeys()) {
    auto key = RegistryKey::Open(Hive::LocalMachine, ManagerKeyPath(sSubkey));
    if (key && !key->Values().empty()) return true;
  }
  return false;
}

bool WhatsThisShown() {
  for (const QWidget* lpWidget : QApplication::topLevelWidgets()) {
    if (lpWidget->inherits("QWhatsThat") && lpWidget->isVisible()) return true;
  }
  return false;
}

}  // namespace

class PropertySheetTest : public QObject {
  Q_OBJECT

  std::unique_ptr<harbix::test::TempHome> m_lpHome;
  std::unique_ptr<FakeEnvironment> m_lpEnvironment;
  std::unique_ptr<PropertySheet> m_lpSheet;

  QWidget* Tab(const QString& sTitle) { return m_lpSheet->Page(sTitle); }
  // Edits two pages: the FTP log box and the General refresh box.
  void EditTwoPages() {
    m_lpSheet->Tabs()->setCurrentWidget(Tab("FTP"));
    Click(Control<QCheckBox>(Tab("FTP"), id::kLogActivity));
    m_lpSheet->Tabs()->setCurrentWidget(Tab("General"));
    Click(Control<QCheckBox>(Tab("General"), id::kNoRefresh));
  }

 private slots:
  void init() {
    m_lpHome = std::make_unique<harbix::test::TempHome>();
    m_lpEnvironment = std::make_unique<FakeEnvironment>();
    m_lpSheet = std::make_unique<PropertySheet>(m_lpEnvironment->Get());
    m_lpSheet->show();
  }
  void cleanup() {
    m_lpSheet.reset();
    m_lpEnvironment.reset();
    m_lpHome.reset();
  }

  void pagesComeInTabOrder() {
    QCOMPARE(m_lpSheet->windowTitle(), QStringLiteral("Harbix Proxy Manager"));
    const QStringList expected = {"General", "DNS", "FTP", "HTTP", "HTTPS (Secure)", "PNA (RealAudio)",
                                  "SOCKS", "TELNET", "PortMap", "Tools"};
    QStringList titles;
    for (int nTab = 0; nTab < m_lpSheet->Tabs()->count(); ++nTab) titles << m_lpSheet->Tabs()->tabText(nTab);
    QCOMPARE(titles, expected);
    QCOMPARE(m_lpSheet->Tabs()->currentIndex(), 0);
    QVERIFY(!m_lpSheet->ApplyButton()->isEnabled());
  }

  void applyWritesTheChangedPagesOnly() {
    EditTwoPages();
    QVERIFY(m_lpSheet->ApplyButton()->isEnabled());
    QVERIFY(!StoreHoldsValues());
    Click(m_lpSheet->ApplyButton());
    QVERIFY(!m_lpSheet->ApplyButton()->isEnabled());
    QVERIFY(ReadServiceConfig(ServiceId::Ftp).m_bLogActivity);
    QVERIFY(ReadGeneralConfig().m_bNoRefresh);
    auto http = RegistryKey::Open(Hive::LocalMachine, ManagerKeyPath("HTTP"));
    QVERIFY2(!http || http->Values().empty(), "an untouched page writes nothing");
    QVERIFY(m_lpSheet->isVisible());
  }

  void cancelWritesNothing() {
    EditTwoPages();
    Click(Control<QPushButton>(m_lpSheet.get(), id::kCancel));
    QVERIFY(!m_lpSheet->isVisible());
    QCOMPARE(m_lpSheet->result(), int{QDialog::Rejected});
    QVERIFY(!StoreHoldsValues());
  }

  void okWritesAndCloses() {
    EditTwoPages();
    Click(Control<QPushButton>(m_lpSheet.get(), id::kOk));
    QVERIFY(!m_lpSheet->isVisible());
    QVERIFY(ReadServiceConfig(ServiceId::Ftp).m_bLogActivity);
    QVERIFY(ReadGeneralConfig().m_bNoRefresh);
  }

  void controlsCarryTheirHelpByIdentifier() {
    QWidget* lpFtp = Tab("FTP");
    for (int nId : {id::kRunService, id::kBindPort, id::kIncomingList.m_nList, id::kOutgoingList.m_nDeny}) {
      QWidget* lpControl = Control<QWidget>(lpFtp, nId);
      QVERIFY2(lpControl, qPrintable(QString::number(nId)));
      QVERIFY(!lpControl->whatsThis().isEmpty());
      QCOMPARE(lpControl->whatsThis(), HelpTopic(nId));
    }
    for (const QLabel* lpLabel : lpFtp->findChildren<QLabel*>()) {
      if (lpLabel->objectName().isEmpty()) QVERIFY2(lpLabel->whatsThis().isEmpty(), qPrintable(lpLabel->text()));
    }
    QVERIFY(HelpTopic(-1).isEmpty());
  }

  void f1ShowsTheTopicOfTheFocusedControl() {
    m_lpSheet->Tabs()->setCurrentWidget(Tab("FTP"));
    auto* lpPort = Control<QSpinBox>(Tab("FTP"), id::kBindPort);
    QWidget* lpPortEdit = lpPort->findChild<QLineEdit*>();
    QCOMPARE(PropertySheet::HelpFor(lpPortEdit), HelpTopic(id::kBindPort));  // the spin's own edit
    QVERIFY(PropertySheet::HelpFor(m_lpSheet->Tabs()->tabBar()).isEmpty());
    QApplication::setActiveWindow(m_lpSheet.get());
    lpPort->setFocus();
    QTRY_VERIFY(lpPortEdit->hasFocus());
    QTest::keyClick(lpPortEdit, Qt::Key_F1);
    QTRY_VERIFY(WhatsThisShown());
  }
};

}  // namespace harbix::manager

QTEST_MAIN(harbix::manager::PropertySheetTest)
#include "PropertySheet_test.moc"
