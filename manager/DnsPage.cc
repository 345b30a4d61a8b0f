#include "manager/DnsPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "manager/AddressText.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"
#include "manager/NameServers.h"

namespace harbix::manager {

DnsPage::DnsPage(const Environment& environment, QWidget* lpParent)
    : ServicePage(ServiceId::Dns, QStringLiteral("DNS"), environment, lpParent), m_lpServer(Tag(new QComboBox, id::kDnsServer)) {
  m_lpServer->setEditable(true);
  m_lpServer->setInsertPolicy(QComboBox::NoInsert);
  m_lpServer->lineEdit()->setMaxLength(kMaxAddressText);
  for (uint32_t dwServer : ReadNameServers(environment.m_sResolvConf)) m_lpServer->addItem(AddressText(dwServer), dwServer);
  m_lpServer->setCurrentIndex(m_lpServer->findData(m_config.m_dns.m_dwDnsServer));
  m_lpServer->setEditText(AddressText(m_config.m_dns.m_dwDnsServer));
  connect(m_lpServer, &QComboBox::activated, this, [this](int nIndex) {
    m_config.m_dns.m_dwDnsServer = m_lpServer->itemData(nIndex).toUInt();
    MarkModified();
  });
  connect(m_lpServer->lineEdit(), &QLineEdit::textEdited, this, &DnsPage::OnServerTyped);

  auto* lpForward = Tag(new QCheckBox(QStringLiteral("Forward Only")), id::kForwardOnly);
  lpForward->setChecked(m_config.m_dns.m_bForwardOnly);
  connect(lpForward, &QCheckBox::toggled, this, [this](bool bOn) {
    m_config.m_dns.m_bForwardOnly = bOn;
    MarkModified();
  });
  auto* lpHosts = Tag(new QPushButton(QStringLiteral("Open Hosts File")), id::kOpenHostsFile);
  connect(lpHosts, &QPushButton::clicked, this, &DnsPage::OpenHostsFile);

  auto* lpGroup = new QGroupBox(QStringLiteral("DNS Server IP:"));
  auto* lpColumn = new QVBoxLayout(lpGroup);
  lpColumn->addWidget(m_lpServer);
  lpColumn->addWidget(new QLabel(QStringLiteral("This is a UDP Server")));
  lpColumn->addWidget(lpForward);
  lpColumn->addStretch(1);
  auto* lpButtonRow = new QHBoxLayout;
  lpButtonRow->addStretch(1);
  lpButtonRow->addWidget(lpHosts);
  lpColumn->addLayout(lpButtonRow);
  SideColumn()->addWidget(lpGroup);
}

void DnsPage::OnServerTyped(const QString& sText) {
  std::optional<uint32_t> dwServer = ParseAddressText(sText);
  if (!dwServer) return;  // the stored server stays until the text reads as an address
  m_config.m_dns.m_dwDnsServer = *dwServer;
  const int nIndex = m_lpServer->findData(*dwServer);
  if (nIndex >= 0) {
    m_lpServer->setCurrentIndex(nIndex);
  }
  MarkModified();
}

void DnsPage::OpenHostsFile() {
  const QString sHosts = QString::fromStdString(m_environment.m_sHostsFile);
  if (QFileInfo::exists(sHosts)) m_environment.m_openFile(sHosts);
}

}  // namespace harbix::manager
