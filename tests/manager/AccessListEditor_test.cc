// The access-list editor that every list of every page uses.
#include "manager/AccessListEditor.h"

#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

#include "manager/AddressText.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/manager/PageDriver.h"

namespace harbix::manager {

class AccessListEditorTest : public QObject {
  Q_OBJECT

  const id::AccessListIds& m_ids = id::kIncomingList;
  std::unique_ptr<AccessListEditor> m_lpEditor;
  std::unique_ptr<QSignalSpy> m_lpModified;

  QListWidget* List() { return Control<QListWidget>(m_lpEditor.get(), m_ids.m_nList); }
  QPushButton* NewButton() { return Control<QPushButton>(m_lpEditor.get(), m_ids.m_nNew); }
  QPushButton* DelButton() { return Control<QPushButton>(m_lpEditor.get(), m_ids.m_nDel); }
  QLineEdit* AddressEdit() { return Control<QLineEdit>(m_lpEditor.get(), m_ids.m_nAddress); }
  QLineEdit* MaskEdit() { return Control<QLineEdit>(m_lpEditor.get(), m_ids.m_nMask); }

  // New, type both texts, Add (whether or not Add lets itself be pressed).
  void AddEntry(const QString& sAddress, const QString& sMask) {
    Click(NewButton());
    QCOMPARE(NewButton()->text(), QStringLiteral("&Add"));
    Type(AddressEdit(), sAddress);
    Type(MaskEdit(), sMask);
    NewButton()->click();
  }

  std::map<uint32_t, uint32_t> Entries(std::initializer_list<std::pair<const char*, const char*>> entries) {
    std::map<uint32_t, uint32_t> result;
    for (const auto& [lpAddress, lpMask] : entries) result[*ParseAddressText(lpAddress)] = *ParseAddressText(lpMask);
    return result;
  }

 private slots:
  void init() {
    m_lpEditor = std::make_unique<AccessListEditor>(
        m_ids, AccessListTexts{QStringLiteral("List"), QStringLiteral("Allow"), QStringLiteral("Deny")});
    m_lpEditor->show();
    m_lpModified = std::make_unique<QSignalSpy>(m_lpEditor.get(), &AccessListEditor::modified);
  }
  void cleanup() {
    m_lpModified.reset();
    m_lpEditor.reset();
  }

  void idleEditorHasDisabledEdits() {
    QVERIFY(!AddressEdit()->isEnabled());
    QVERIFY(!MaskEdit()->isEnabled());
    QVERIFY(!DelButton()->isEnabled());
    QCOMPARE(NewButton()->text(), QStringLiteral("&New"));
    QCOMPARE(AddressEdit()->maxLength(), 15);
  }

  void addingTheSameAddressReplacesItsMaskInPlace() {
    AddEntry("10.0.0.0", "255.0.0.0");
    AddEntry("192.168.0.0", "255.255.0.0");
    AddEntry("10.0.0.0", "255.255.0.0");
    QCOMPARE(Lines(List()), QStringList({"10.0.0.0:255.255.0.0", "192.168.0.0:255.255.0.0"}));
    QCOMPARE(m_lpEditor->List().Entries(), Entries({{"10.0.0.0", "255.255.0.0"}, {"192.168.0.0", "255.255.0.0"}}));
    QCOMPARE(m_lpModified->count(), 3);
    // The editor is idle again after each Add.
    QCOMPARE(NewButton()->text(), QStringLiteral("&New"));
    QVERIFY(!AddressEdit()->isEnabled());
    // An identical entry changes nothing.
    AddEntry("10.0.0.0", "255.255.0.0");
    QCOMPARE(List()->count(), 2);
    QCOMPARE(m_lpModified->count(), 3);
  }

  void invalidTextsAddNothing_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("mask");
    QTest::newRow("all-ones address") << "255.255.255.255" << "255.0.0.0";
    QTest::newRow("all-ones mask") << "10.0.0.1" << "255.255.255.255";
    QTest::newRow("three numbers") << "10.0.0" << "255.0.0.0";
    QTest::newRow("number above 255") << "10.0.0.256" << "255.0.0.0";
    QTest::newRow("trailing text") << "10.0.0.1x" << "255.0.0.0";
    QTest::newRow("empty mask") << "10.0.0.1" << "";
    QTest::newRow("name") << "example" << "255.0.0.0";
  }
  void invalidTextsAddNothing() {
    QFETCH(QString, address);
    QFETCH(QString, mask);
    Click(NewButton());
    Type(AddressEdit(), address);
    Type(MaskEdit(), mask);
    QVERIFY2(!NewButton()->isEnabled(), "Add is offered only for two valid addresses");
    NewButton()->click();
    QCOMPARE(List()->count(), 0);
    QVERIFY(m_lpEditor->List().Entries().empty());
    QCOMPARE(m_lpModified->count(), 0);
  }

  void selectingALineEditsItInPlace() {
    AddEntry("10.0.0.0", "255.0.0.0");
    AddEntry("172.16.0.0", "255.240.0.0");
    Select(List(), 0);
    QCOMPARE(AddressEdit()->text(), QStringLiteral("10.0.0.0"));
    QCOMPARE(MaskEdit()->text(), QStringLiteral("255.0.0.0"));
    QVERIFY(DelButton()->isEnabled());
    m_lpModified->clear();
    Type(AddressEdit(), "10.1.0.0");
    QCOMPARE(Lines(List()), QStringList({"10.1.0.0:255.0.0.0", "172.16.0.0:255.240.0.0"}));
    QCOMPARE(m_lpEditor->List().Entries(), Entries({{"10.1.0.0", "255.0.0.0"}, {"172.16.0.0", "255.240.0.0"}}));
    QVERIFY(m_lpModified->count() > 0);
    QCOMPARE(List()->currentRow(), 0);
    // Taking the address of the other line would leave two lines for one entry: refused.
    Type(AddressEdit(), "172.16.0.0");
    QCOMPARE(Lines(List()), QStringList({"10.1.0.0:255.0.0.0", "172.16.0.0:255.240.0.0"}));
    QCOMPARE(m_lpEditor->List().Entries().size(), size_t{2});
  }

  void delMarksModifiedOnlyWhenSomethingWasRemoved() {
    AddEntry("10.0.0.0", "255.0.0.0");
    m_lpModified->clear();
    QVERIFY(!DelButton()->isEnabled());
    DelButton()->click();  // nothing selected: nothing to remove
    QCOMPARE(m_lpModified->count(), 0);
    Select(List(), 0);
    Click(DelButton());
    QCOMPARE(List()->count(), 0);
    QVERIFY(m_lpEditor->List().Entries().empty());
    QCOMPARE(m_lpModified->count(), 1);
    QVERIFY(!AddressEdit()->isEnabled());
    QVERIFY(!DelButton()->isEnabled());
  }

  void loadShowsEntriesAndDenyChoice() {
    AccessList list(false);
    list.Add({*ParseAddressText("192.168.1.0"), *ParseAddressText("255.255.255.0")});
    m_lpEditor->Load(list);
    QCOMPARE(Lines(List()), QStringList({"192.168.1.0:255.255.255.0"}));
    QVERIFY(Control<QRadioButton>(m_lpEditor.get(), m_ids.m_nAllow)->isChecked());
    Click(Control<QRadioButton>(m_lpEditor.get(), m_ids.m_nDeny));
    QVERIFY(m_lpEditor->List().Deny());
    QCOMPARE(m_lpModified->count(), 1);
    Click(Control<QRadioButton>(m_lpEditor.get(), m_ids.m_nDeny));  // already chosen
    QCOMPARE(m_lpModified->count(), 1);
  }
};

}  // namespace harbix::manager

QTEST_MAIN(harbix::manager::AccessListEditorTest)
#include "AccessListEditor_test.moc"
