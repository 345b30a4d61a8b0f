#include "manager/ServicePage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

#include "common/ControlMessage.h"
#include "manager/AccessListEditor.h"
#include "manager/BindAddressBox.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"
#include "manager/StatisticsTexts.h"

namespace harbix::manager {
namespace {

const QString kEngineNotRunning = QStringLiteral("Engine is NOT running...");

QString Name(ServiceId id) { return QString::fromLatin1(TraitsOf(id).m_lpName); }

AccessListTexts IncomingTexts(ServiceId id) {
  if (TraitsOf(id).m_bUdp) {
    return {QStringLiteral("Restrictions:"), QStringLiteral("Allow Only these IP Addresses to connect"),
            QStringLiteral("Deny Only these IP Addresses to connect")};
  }
  return {QStringLiteral("Restrictions (Incoming Connections):"), QStringLiteral("Allow Only these IP"),
          QStringLiteral("Deny Only these IP")};
}

const AccessListTexts kOutgoingTexts = {QStringLiteral("Restrictions (Outgoing Connections):"),
                                        QStringLiteral("Allow Only these IP"), QStringLiteral("Deny Only These IP")};

QCheckBox* NewFlagBox(int nId, const QString& sText, bool bValue) {
  auto* lpBox = Tag(new QCheckBox(sText), nId);
  lpBox->setChecked(bValue);
  return lpBox;
}

}  // namespace

ServicePage::ServicePage(ServiceId id, const QString& sTitle, const Environment& environment, QWidget* lpParent)
    : ConfigPage(sTitle, environment, lpParent), m_config(ReadServiceConfig(id)) {
  auto* lpPage = new QVBoxLayout(this);

  auto* lpTop = new QHBoxLayout;
  QCheckBox* lpRun = NewFlagBox(id::kRunService, Name(id) + QStringLiteral(" Proxy Service Enable"), m_config.m_bRunService);
  connect(lpRun, &QCheckBox::toggled, this, [this](bool bOn) {
    m_config.m_bRunService = bOn;
    MarkModified();
  });
  m_lpEngineState = NewEngineState();
  lpTop->addWidget(lpRun);
  lpTop->addStretch(1);
  lpTop->addWidget(m_lpEngineState);
  lpPage->addLayout(lpTop);

  auto* lpListening = new QGroupBox;
  lpListening->setLayout(BuildListening());
  lpPage->addWidget(lpListening);

  auto* lpLists = new QHBoxLayout;
  m_lpIncoming = new AccessListEditor(id::kIncomingList, IncomingTexts(id));
  m_lpIncoming->Load(m_config.m_incoming);
  connect(m_lpIncoming, &AccessListEditor::modified, this, &ServicePage::MarkModified);
  lpLists->addWidget(m_lpIncoming, 1);
  m_lpSideColumn = new QVBoxLayout;
  if (TraitsOf(id).m_bOutgoingList) {
    m_lpOutgoing = new AccessListEditor(id::kOutgoingList, kOutgoingTexts);
    m_lpOutgoing->Load(m_config.m_outgoing);
    connect(m_lpOutgoing, &AccessListEditor::modified, this, &ServicePage::MarkModified);
    m_lpSideColumn->addWidget(m_lpOutgoing);
  }
  lpLists->addLayout(m_lpSideColumn, 1);
  lpPage->addLayout(lpLists, 1);

  auto* lpStatistics = new QGroupBox(Name(id) + QStringLiteral(" Service Statistics:"));
  lpStatistics->setLayout(BuildStatistics());
  lpPage->addWidget(lpStatistics);
  ShowEngineState(environment.m_engineRuns());
}

QLayout* ServicePage::BuildListening() {
  const ServiceTraits& traits = TraitsOf(m_config.m_id);
  auto* lpGrid = new QGridLayout;
  m_lpBindIp = new BindAddressBox(id::kBindIp, m_environment.m_localAddresses());
  m_lpBindIp->Show(m_config.m_dwBindIp);
  connect(m_lpBindIp, &BindAddressBox::chosen, this, [this](uint32_t dwAddress) {
    m_config.m_dwBindIp = dwAddress;
    MarkModified();
  });
  m_lpPort = NewPortSpin(id::kBindPort, id::kBindPortSpin);
  m_lpPort->setValue(m_config.m_wBindPort);
  m_config.m_wBindPort = static_cast<uint16_t>(m_lpPort->value());  // a stored 0 shows and stays as 1
  connect(m_lpPort, &QSpinBox::valueChanged, this, [this](int nPort) {
    m_config.m_wBindPort = static_cast<uint16_t>(nPort);
    MarkModified();
  });
  auto* lpAddressLabel = new QLabel(QStringLiteral("Listening IP Address:"));
  lpAddressLabel->setBuddy(m_lpBindIp);
  auto* lpPortLabel = new QLabel(QStringLiteral("On Port:"));
  lpPortLabel->setBuddy(m_lpPort);
  lpGrid->addWidget(lpAddressLabel, 0, 0);
  lpGrid->addWidget(m_lpBindIp, 0, 1);
  lpGrid->addWidget(lpPortLabel, 0, 2);
  lpGrid->addWidget(m_lpPort, 0, 3);
  lpGrid->addWidget(new QLabel(QStringLiteral("Default Port is %1").arg(traits.m_wDefaultPort)), 0, 4);
  lpGrid->setColumnStretch(1, 1);

  m_lpOptionRow = new QHBoxLayout;
  QCheckBox* lpLog = NewFlagBox(id::kLogActivity, QStringLiteral("Enable LOG"), m_config.m_bLogActivity);
  connect(lpLog, &QCheckBox::toggled, this, [this](bool bOn) {
    m_config.m_bLogActivity = bOn;
    MarkModified();
  });
  m_lpOptionRow->addWidget(lpLog);
  if (!traits.m_bUdp) {
    QCheckBox* lpThreads = NewFlagBox(id::kUseThreads, QStringLiteral("Use Threads For Clients"), m_config.m_bUseThreads);
    connect(lpThreads, &QCheckBox::toggled, this, [this](bool bOn) {
      m_config.m_bUseThreads = bOn;
      MarkModified();
    });
    m_lpOptionRow->addWidget(lpThreads);
  }
  m_lpOptionRow->addStretch(1);
  lpGrid->addLayout(m_lpOptionRow, 1, 0, 1, 5);
  return lpGrid;
}

QLayout* ServicePage::BuildStatistics() {
  auto* lpRow = new QHBoxLayout;
  m_vStatistics = NewStatistics();
  for (QLabel* lpLabel : m_vStatistics) lpRow->addWidget(lpLabel, 1);
  return lpRow;
}

void ServicePage::Store() {
  m_config.m_incoming = m_lpIncoming->List();
  if (m_lpOutgoing) m_config.m_outgoing = m_lpOutgoing->List();
  WriteServiceConfig(m_config);
}

uint8_t ServicePage::ReloadRequest() const {
  return static_cast<uint8_t>(control::kStartService + static_cast<uint8_t>(m_config.m_id));
}

void ServicePage::ShowEngineState(bool bRunning) {
  m_lpEngineState->setText(bRunning ? QString() : kEngineNotRunning);
  ShowNoStatistics(m_vStatistics);
}

}  // namespace harbix::manager
