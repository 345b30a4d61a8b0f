// The HTTP cache settings dialog, on disks of chosen sizes.
#include "manager/CacheSettingsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <memory>

#include "common/ControlMessage.h"
#include "common/KeyReader.h"
#include "manager/ControlIds.h"
#include "manager/HttpPage.h"
#include "platform/Registry.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"
#include "tests/support/TempHome.h"

namespace harbix::manager {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kGiB = kKiB * kKiB * kKiB;

// A disk of 4 KiB units.
DiskSpace Disk(uint64_t cbFree, uint64_t cbTotal) { return {cbFree / 4096, cbTotal / 4096, 4096}; }

}  // namespace

class CacheSettingsDialogTest : public QObject {
  Q_OBJECT

  std::unique_ptr<harbix::test::TempHome> m_lpHome;
  std::unique_ptr<FakeEnvironment> m_lpEnvironment;
  std::unique_ptr<HttpPage> m_lpPage;

  CacheSettingsDialog* Open() {
    m_lpPage = std::make_unique<HttpPage>(m_lpEnvironment->Get());
    m_lpPage->show();
    Click(Control<QPushButton>(m_lpPage.get(), id::kCacheSettings));
    CacheSettingsDialog* lpDialog = m_lpPage->CacheDialog();
    if (lpDialog) lpDialog->show();
    return lpDialog;
  }
  static QString Text(QWidget* lpDialog, int nId) { return Control<QLabel>(lpDialog, nId)->text(); }
  static bool HasCacheValues() {
    auto key = RegistryKey::Open(Hive::LocalMachine, ManagerKeyPath("HTTP"));
    return key && key->GetValue("Cache Size").has_value();
  }

 private slots:
  void init() {
    m_lpHome = std::make_unique<harbix::test::TempHome>();
    m_lpEnvironment = std::make_unique<FakeEnvironment>();
    m_lpEnvironment->m_diskSpace = Disk(3 * kGiB, 10 * kGiB);
  }
  void cleanup() {
    m_lpPage.reset();
    m_lpEnvironment.reset();
    m_lpHome.reset();
  }

  void unitFollowsTheFreeSpace_data() {
    QTest::addColumn<qulonglong>("freeBytes");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("maximum");
    QTest::newRow("4 MiB") << qulonglong(4 * kKiB * kKiB) << "KB" << 4096;
    QTest::newRow("3 GiB") << qulonglong(3 * kGiB) << "MB" << 3072;
    QTest::newRow("6 GiB") << qulonglong(6 * kGiB) << "GB" << 6;
    // The size is kept in KB as a signed 32-bit number: at most 1 TB in TB units.
    QTest::newRow("6 TiB") << qulonglong(6 * kGiB * kKiB) << "TB" << 1;
  }
  void unitFollowsTheFreeSpace() {
    QFETCH(qulonglong, freeBytes);
    QFETCH(QString, unit);
    QFETCH(int, maximum);
    const std::optional<CacheSpace> space = MeasureCacheSpace(Disk(freeBytes, 8 * freeBytes));
    QVERIFY(space);
    QCOMPARE(QString::fromLatin1(space->m_lpUnit), unit);
    QCOMPARE(space->m_nMaximum, maximum);
    QVERIFY(int64_t{space->m_nMaximum} * space->m_nUnitFactor <= INT32_MAX);
  }

  void driveWithTooFewFreeUnitsIsNotMeasured() {
    QVERIFY(!MeasureCacheSpace(DiskSpace{1023, 100000, 1 << 20}));
    QVERIFY(MeasureCacheSpace(DiskSpace{1024, 100000, 512}));
    QVERIFY(!MeasureCacheSpace(std::nullopt));
  }

  void threeOfTenGigabytesShowMegabytesAndThirtyPercent() {
    CacheSettingsDialog* lpDialog = Open();
    QVERIFY(lpDialog);
    QCOMPARE(lpDialog->windowTitle(), QStringLiteral("Cache Settings"));
    QCOMPARE(Text(lpDialog, id::kFreeSpace), QStringLiteral("Free Disk Space: 3072.00 MB (30.00%)"));
    QVERIFY(Text(lpDialog, id::kSizeUnit).startsWith(QStringLiteral("MB")));
    auto* lpSize = Control<QSpinBox>(lpDialog, id::kCacheSize);
    QCOMPARE(lpSize->maximum(), 3072);
    QCOMPARE(lpSize->value(), 5);  // the default 5120 KB
    QVERIFY(!Control<QPushButton>(lpDialog, id::kOk)->isEnabled());
    QVERIFY(!Control<QPushButton>(lpDialog, id::kApply)->isEnabled());
    QCOMPARE(Control<QPushButton>(lpDialog, id::kCancel)->text(), QStringLiteral("Close"));
    QCOMPARE(Control<QSpinBox>(lpDialog, id::kCacheUpdate)->value(), 60);
  }

  void undetectableDriveLeavesTheSizeInKilobytes() {
    m_lpEnvironment->m_diskSpace.reset();
    CacheSettingsDialog* lpDialog = Open();
    QCOMPARE(Text(lpDialog, id::kFreeSpace), QStringLiteral("Free Disk Space: N/A"));
    QCOMPARE(Text(lpDialog, id::kSizeUnit), QStringLiteral("KB"));
    QCOMPARE(Control<QSpinBox>(lpDialog, id::kCacheSize)->value(), 5120);
  }

  void browsingSetsATenthOfTheFreeSpace() {
    CacheSettingsDialog* lpDialog = Open();
    m_lpEnvironment->m_sChosenFolder = QStringLiteral("/srv/cache");
    m_lpEnvironment->m_diskSpace = DiskSpace{100, 1000, 4096};  // a full drive
    Click(Control<QPushButton>(lpDialog, id::kBrowse));
    QVERIFY2(Control<QLineEdit>(lpDialog, id::kCacheDir)->text() != QStringLiteral("/srv/cache"), "the folder stays");
    QVERIFY(!Control<QPushButton>(lpDialog, id::kOk)->isEnabled());

    m_lpEnvironment->m_diskSpace = Disk(3 * kGiB, 10 * kGiB);
    Click(Control<QPushButton>(lpDialog, id::kBrowse));
    QCOMPARE(Control<QLineEdit>(lpDialog, id::kCacheDir)->text(), QStringLiteral("/srv/cache"));
    QCOMPARE(Control<QSpinBox>(lpDialog, id::kCacheSize)->value(), 307);
    QCOMPARE(Text(lpDialog, id::kSizeUnit), QStringLiteral("MB (10.00%)"));
    QVERIFY(Control<QPushButton>(lpDialog, id::kOk)->isEnabled());
    QCOMPARE(Control<QPushButton>(lpDialog, id::kCancel)->text(), QStringLiteral("Cancel"));
    QVERIFY(!HasCacheValues());

    m_lpEnvironment->m_bEngineRuns = true;
    Click(Control<QPushButton>(lpDialog, id::kApply));
    QCOMPARE(Control<QPushButton>(lpDialog, id::kCancel)->text(), QStringLiteral("Close"));
    QVERIFY(!Control<QPushButton>(lpDialog, id::kApply)->isEnabled());
    const ServiceConfig stored = ReadServiceConfig(ServiceId::Http);
    QCOMPARE(stored.m_http.m_sCacheDir, std::string("/srv/cache"));
    QCOMPARE(stored.m_http.m_nCacheSize, 307 * 1024);
    QCOMPARE(m_lpEnvironment->m_vRequests, (std::vector<uint8_t>{control::kStartService + 2}));
  }

  void stepsChangeSizeAndIntervalWithinRange() {
    CacheSettingsDialog* lpDialog = Open();
    auto* lpSize = Control<QSpinBox>(lpDialog, id::kCacheSize);
    Step(lpSize, 1);
    QCOMPARE(Text(lpDialog, id::kSizeUnit), QStringLiteral("MB (0.19%)"));  // 6 of 3072
    Step(lpSize, -10);
    QCOMPARE(lpSize->value(), 1);
    auto* lpUpdate = Control<QSpinBox>(lpDialog, id::kCacheUpdate);
    Type(lpUpdate, QStringLiteral("720"));
    Step(lpUpdate, 1);
    QCOMPARE(lpUpdate->value(), 720);
    Click(Control<QCheckBox>(lpDialog, id::kNoCache));
    Click(Control<QPushButton>(lpDialog, id::kOk));
    QVERIFY(!lpDialog->isVisible());
    const ServiceConfig stored = ReadServiceConfig(ServiceId::Http);
    QCOMPARE(stored.m_http.m_nCacheSize, 1024);
    QCOMPARE(stored.m_http.m_nCacheUpdate, 720);
    QVERIFY(stored.m_http.m_bNoCache);
    QVERIFY(m_lpEnvironment->m_vRequests.empty());  // no engine
  }

  void activatingAnotherWindowClosesItUnwritten() {
    CacheSettingsDialog* lpDialog = Open();
    QApplication::setActiveWindow(lpDialog);
    QTRY_VERIFY(lpDialog->isActiveWindow());
    Click(Control<QCheckBox>(lpDialog, id::kNoCache));
    // The folder chooser is the dialog's own: it may take the focus.
    m_lpEnvironment->Get().m_chooseFolder = [&](QWidget*, const QString&, const QString&) {
      QApplication::setActiveWindow(m_lpPage.get());
      QApplication::processEvents();
      return QString();
    };
    Click(Control<QPushButton>(lpDialog, id::kBrowse));
    QVERIFY(lpDialog->isVisible());
    QApplication::setActiveWindow(lpDialog);
    QTRY_VERIFY(lpDialog->isActiveWindow());
    QApplication::setActiveWindow(m_lpPage.get());
    QTRY_VERIFY(!m_lpPage->CacheDialog());
    QVERIFY(!HasCacheValues());
  }

  void closeAndPageResetWriteNothing() {
    CacheSettingsDialog* lpDialog = Open();
    Click(Control<QCheckBox>(lpDialog, id::kNoCache));
    Click(Control<QPushButton>(lpDialog, id::kCancel));
    QTRY_VERIFY(!m_lpPage->CacheDialog());
    lpDialog = Open();
    QVERIFY(!Control<QCheckBox>(lpDialog, id::kNoCache)->isChecked());
    Click(Control<QCheckBox>(lpDialog, id::kNoCache));
    m_lpPage->Reset();
    QTRY_VERIFY(!m_lpPage->CacheDialog());
    QVERIFY(!HasCacheValues());
  }
};

}  // namespace harbix::manager

QTEST_MAIN(harbix::manager::CacheSettingsDialogTest)
#include "CacheSettingsDialog_test.moc"
