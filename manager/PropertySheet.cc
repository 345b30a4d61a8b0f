#include "manager/PropertySheet.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWhatsThis>

#include "manager/ConfigPage.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"
#include "manager/DnsPage.h"
#include "manager/GeneralPage.h"
#include "manager/HelpTopics.h"
#include "manager/HttpPage.h"
#include "manager/PortMapPage.h"
#include "manager/SocksPage.h"
#include "manager/ToolsPage.h"

namespace harbix::manager {

PropertySheet::PropertySheet(const Environment& environment, QWidget* lpParent)
    : QDialog(lpParent), m_lpTabs(new QTabWidget) {
  setWindowTitle(QStringLiteral("Harbix Proxy Manager"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, true);
  AddPage(new GeneralPage(environment));
  AddPage(new DnsPage(environment));
  AddPage(new ServicePage(ServiceId::Ftp, QStringLiteral("FTP"), environment));
  AddPage(new HttpPage(environment));
  AddPage(new ServicePage(ServiceId::Https, QStringLiteral("HTTPS (Secure)"), environment));
  AddPage(new ServicePage(ServiceId::Pna, QStringLiteral("PNA (RealAudio)"), environment));
  AddPage(new SocksPage(environment));
  AddPage(new ServicePage(ServiceId::Telnet, QStringLiteral("TELNET"), environment));
  AddPage(new PortMapPage(environment));
  m_lpTabs->addTab(new ToolsPage, QStringLiteral("Tools"));
  m_lpTabs->tabBar()->setUsesScrollButtons(false);  // every tab title stays in sight
  m_lpTabs->setCurrentIndex(0);

  auto* lpButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
  Tag(lpButtons->button(QDialogButtonBox::Ok), id::kOk);
  Tag(lpButtons->button(QDialogButtonBox::Cancel), id::kCancel);
  m_lpApply = Tag(lpButtons->button(QDialogButtonBox::Apply), id::kApply);
  m_lpApply->setEnabled(false);
  connect(lpButtons, &QDialogButtonBox::accepted, this, &PropertySheet::accept);
  connect(lpButtons, &QDialogButtonBox::rejected, this, &PropertySheet::reject);
  connect(m_lpApply, &QPushButton::clicked, this, &PropertySheet::Apply);

  auto* lpHelp = new QShortcut(QKeySequence(Qt::Key_F1), this);
  lpHelp->setContext(Qt::ApplicationShortcut);  // also in the page's dialogs
  connect(lpHelp, &QShortcut::activated, this, [this] { ShowHelp(QApplication::focusWidget()); });

  auto* lpLayout = new QVBoxLayout(this);
  lpLayout->addWidget(m_lpTabs, 1);
  lpLayout->addWidget(lpButtons);
}

void PropertySheet::AddPage(ConfigPage* lpPage) {
  m_vPages.push_back(lpPage);
  m_lpTabs->addTab(lpPage, lpPage->Title());
  connect(lpPage, &ConfigPage::modifiedChanged, this, &PropertySheet::UpdateApply);
}

ConfigPage* PropertySheet::Page(const QString& sTitle) const {
  for (ConfigPage* lpPage : m_vPages) {
    if (lpPage->Title() == sTitle) return lpPage;
  }
  return nullptr;
}

void PropertySheet::UpdateApply() {
  bool bModified = false;
  for (const ConfigPage* lpPage : m_vPages) bModified = bModified || lpPage->Modified();
  m_lpApply->setEnabled(bModified);
}

QString PropertySheet::HelpFor(const QWidget* lpFocus) {
  for (const QWidget* lpWidget = lpFocus; lpWidget && !lpWidget->isWindow(); lpWidget = lpWidget->parentWidget()) {
    bool bNumber = false;
    const int nId = lpWidget->objectName().toInt(&bNumber);
    if (bNumber) return HelpTopic(nId);
  }
  return {};
}

void PropertySheet::ShowHelp(QWidget* lpFocus) {
  const QString sTopic = HelpFor(lpFocus);
  if (!sTopic.isEmpty()) QWhatsThis::showText(lpFocus->mapToGlobal(lpFocus->rect().center()), sTopic, lpFocus);
}

void PropertySheet::Apply() {
  for (ConfigPage* lpPage : m_vPages) {
    if (lpPage->Modified()) lpPage->Apply();
  }
}

void PropertySheet::accept() {
  Apply();
  QDialog::accept();
}

void PropertySheet::reject() {
  for (ConfigPage* lpPage : m_vPages) lpPage->Reset();
  QDialog::reject();
}

}  // namespace harbix::manager
