#include "manager/PortMapPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <array>

#include "common/ControlMessage.h"
#include "common/Text.h"
#include "manager/AccessListEditor.h"
#include "manager/AddressText.h"
#include "manager/BindAddressBox.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"
#include "manager/StatisticsTexts.h"

namespace harbix::manager {
namespace {

constexpr int kMaxHostText = 255;
constexpr int kVisibleRows = 7;
const QString kNewMapText = QStringLiteral("&New Map");
const QString kAddMapText = QStringLiteral("&Add Map");
const QString kCaptionNewMap = QStringLiteral("New Map");
const QString kBindTaken = QStringLiteral("*** This Bind IP/Port combination is already used ***");
const QString kNoHost = QStringLiteral("*** You have to enter a Destination Host ***");

enum Column { kColBindIp, kColBindPort, kColDestHost, kColDestPort, kColType, kColStatus, kColumnCount };

struct TypeChoice {
  int m_nId;
  const char* m_lpText;
};
// By "Service Type": 0 TCP, 1 UDP, 2 both.
constexpr std::array<TypeChoice, 3> kTypes = {{{id::kTypeTcp, "TCP"}, {id::kTypeUdp, "UDP"}, {id::kTypeBoth, "TCP/UDP"}}};

const AccessListTexts kMapListTexts = {QStringLiteral("Restrictions (Incoming Connections):"),
                                       QStringLiteral("Allow Only these IP"), QStringLiteral("Deny Only these IP")};

QCheckBox* NewCheck(int nId, const char* lpText) { return Tag(new QCheckBox(QString::fromLatin1(lpText)), nId); }

QLabel* NewLabel(const char* lpText, QWidget* lpBuddy) {
  auto* lpLabel = new QLabel(QString::fromLatin1(lpText));
  lpLabel->setBuddy(lpBuddy);
  return lpLabel;
}

}  // namespace

PortMapPage::PortMapPage(const Environment& environment, QWidget* lpParent)
    : ConfigPage(QStringLiteral("PortMap"), environment, lpParent), m_vMaps(ReadMapRecords()) {
  m_lpList = Tag(new QTreeWidget, id::kMapList);
  m_lpList->setColumnCount(kColumnCount);
  m_lpList->setHeaderLabels({QStringLiteral("Bind IP"), QStringLiteral("Bind Port"), QStringLiteral("Dest Host"),
                             QStringLiteral("Dest Port"), QStringLiteral("Type"), QStringLiteral("Status")});
  m_lpList->setRootIsDecorated(false);
  m_lpList->setMinimumHeight(m_lpList->fontMetrics().height() * kVisibleRows);
  m_lpList->setAllColumnsShowFocus(true);
  m_lpList->setSelectionMode(QAbstractItemView::SingleSelection);
  m_lpList->header()->setStretchLastSection(false);
  m_lpList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  m_lpList->header()->setSectionResizeMode(kColDestHost, QHeaderView::Stretch);
  for (int nRow = 0; nRow < static_cast<int>(m_vMaps.size()); ++nRow) {
    m_lpList->addTopLevelItem(new QTreeWidgetItem);
    FillRow(nRow);
  }
  m_lpNew = Tag(new QPushButton(kNewMapText), id::kNewMap);
  m_lpDel = Tag(new QPushButton(QStringLiteral("&Del Map")), id::kDelMap);
  m_lpDel->setEnabled(false);

  auto* lpButtons = new QHBoxLayout;
  lpButtons->addStretch(1);
  lpButtons->addWidget(m_lpNew);
  lpButtons->addWidget(m_lpDel);

  auto* lpStatistics = new QGroupBox;
  auto* lpStatisticsRow = new QHBoxLayout(lpStatistics);
  m_vStatistics = NewStatistics();
  for (QLabel* lpLabel : m_vStatistics) lpStatisticsRow->addWidget(lpLabel, 1);

  auto* lpPage = new QVBoxLayout(this);
  lpPage->addWidget(m_lpList, 1);
  lpPage->addLayout(lpButtons);
  lpPage->addWidget(BuildProperties());
  lpPage->addWidget(lpStatistics);

  connect(m_lpList, &QTreeWidget::itemSelectionChanged, this, &PortMapPage::OnSelectionChanged);
  connect(m_lpNew, &QPushButton::clicked, this, &PortMapPage::OnNewOrAdd);
  connect(m_lpDel, &QPushButton::clicked, this, &PortMapPage::OnDelete);
  ConnectPropertyControls();
  EnableProperties(false);
}

void PortMapPage::BuildPropertyControls() {
  m_lpBindIp = new BindAddressBox(id::kBindIp, m_environment.m_localAddresses());
  m_lpBindPort = NewPortSpin(id::kBindPort, id::kBindPortSpin);
  m_lpHost = Tag(new QLineEdit, id::kDestHost);
  m_lpHost->setMaxLength(kMaxHostText);
  m_lpDestPort = NewPortSpin(id::kDestPort, id::kDestPortSpin);
  // A port counts when its typing is done: on the way to 5000, 500 may be another map's.
  m_lpBindPort->setKeyboardTracking(false);
  m_lpDestPort->setKeyboardTracking(false);
  for (const TypeChoice& type : kTypes) m_vTypes.push_back(Tag(new QRadioButton(QString::fromLatin1(type.m_lpText)), type.m_nId));
  m_lpEnabled = NewCheck(id::kRunService, "This MAP Enabled");
  m_lpThreads = NewCheck(id::kUseThreads, "Use Threads For TCP Clients");
  m_lpWaitReply = NewCheck(id::kWaitReply, "Wait for UDP reply");
  m_lpAccess = new AccessListEditor(id::kIncomingList, kMapListTexts);
}

QGroupBox* PortMapPage::BuildProperties() {
  BuildPropertyControls();
  auto* lpGrid = new QGridLayout;
  lpGrid->addWidget(NewLabel("Bind IP:", m_lpBindIp), 0, 0);
  lpGrid->addWidget(m_lpBindIp, 0, 1);
  lpGrid->addWidget(NewLabel("On Port:", m_lpBindPort), 0, 2);
  lpGrid->addWidget(m_lpBindPort, 0, 3);
  lpGrid->addWidget(NewLabel("Host:", m_lpHost), 1, 0);
  lpGrid->addWidget(m_lpHost, 1, 1);
  lpGrid->addWidget(NewLabel("Dest Port:", m_lpDestPort), 1, 2);
  lpGrid->addWidget(m_lpDestPort, 1, 3);
  auto* lpTypes = new QHBoxLayout;
  for (QRadioButton* lpType : m_vTypes) lpTypes->addWidget(lpType);
  lpTypes->addStretch(1);
  lpGrid->addLayout(lpTypes, 2, 0, 1, 4);
  lpGrid->addWidget(m_lpEnabled, 3, 0, 1, 4);
  lpGrid->addWidget(m_lpThreads, 4, 0, 1, 4);
  lpGrid->addWidget(m_lpWaitReply, 5, 0, 1, 4);
  lpGrid->setRowStretch(6, 1);
  lpGrid->setColumnStretch(1, 1);

  m_lpProperties = new QGroupBox(QStringLiteral("Map Properties"));
  auto* lpRow = new QHBoxLayout(m_lpProperties);
  lpRow->addLayout(lpGrid, 1);
  lpRow->addWidget(m_lpAccess, 1);
  return m_lpProperties;
}

void PortMapPage::ConnectPropertyControls() {
  connect(m_lpBindIp, &BindAddressBox::chosen, this, &PortMapPage::OnBindIpChosen);
  connect(m_lpBindPort, &QSpinBox::valueChanged, this, &PortMapPage::OnBindPortChanged);
  connect(m_lpHost, &QLineEdit::textEdited, this, [this](const QString& sText) {
    EditMap([&](MapRecord& map) { map.m_sDestHost = Trim(sText.toStdString()); });
  });
  connect(m_lpDestPort, &QSpinBox::valueChanged, this, [this](int nPort) {
    EditMap([&](MapRecord& map) { map.m_wDestPort = static_cast<uint16_t>(nPort); });
  });
  for (size_t nType = 0; nType < m_vTypes.size(); ++nType) {
    connect(m_vTypes[nType], &QRadioButton::clicked, this, [this, nType] {
      EditMap([&](MapRecord& map) { map.m_serviceType = static_cast<MapServiceType>(nType); });
    });
  }
  connect(m_lpEnabled, &QCheckBox::clicked, this, [this](bool bOn) { EditMap([&](MapRecord& map) { map.m_bRunService = bOn; }); });
  connect(m_lpThreads, &QCheckBox::clicked, this, [this](bool bOn) { EditMap([&](MapRecord& map) { map.m_bUseThreads = bOn; }); });
  connect(m_lpWaitReply, &QCheckBox::clicked, this, [this](bool bOn) { EditMap([&](MapRecord& map) { map.m_bWaitReply = bOn; }); });
  connect(m_lpAccess, &AccessListEditor::modified, this, [this] {
    EditMap([&](MapRecord& map) { map.m_incoming = m_lpAccess->List(); });
  });
}

MapRecord* PortMapPage::Current() {
  if (m_bAdding) return &m_newMap;
  return m_nSelected >= 0 ? &m_vMaps[static_cast<size_t>(m_nSelected)] : nullptr;
}

template <typename Edit>
void PortMapPage::EditMap(Edit edit) {
  MapRecord* lpMap = Current();
  if (!lpMap) return;
  edit(*lpMap);
  if (m_bAdding) return;  // the new map joins the list, and the page changes, on "Add Map"
  FillRow(m_nSelected);
  MarkModified();
}

bool PortMapPage::BindTaken(uint32_t dwAddress, uint16_t wPort, int nExcept) const {
  for (int nRow = 0; nRow < static_cast<int>(m_vMaps.size()); ++nRow) {
    const MapRecord& map = m_vMaps[static_cast<size_t>(nRow)];
    if (nRow != nExcept && map.m_dwBindIp == dwAddress && map.m_wBindPort == wPort) return true;
  }
  return false;
}

void PortMapPage::OnBindIpChosen(uint32_t dwAddress) {
  MapRecord* lpMap = Current();
  if (!lpMap) return;
  if (!m_bAdding && BindTaken(dwAddress, lpMap->m_wBindPort, m_nSelected)) {
    m_environment.m_inform(this, kCaptionNewMap, kBindTaken);
    m_lpBindIp->Show(lpMap->m_dwBindIp);
    return;
  }
  EditMap([&](MapRecord& map) { map.m_dwBindIp = dwAddress; });
}

void PortMapPage::OnBindPortChanged(int nPort) {
  MapRecord* lpMap = Current();
  if (!lpMap) return;
  if (!m_bAdding && BindTaken(lpMap->m_dwBindIp, static_cast<uint16_t>(nPort), m_nSelected)) {
    const QSignalBlocker quiet(m_lpBindPort);
    m_lpBindPort->setValue(lpMap->m_wBindPort);
    return;
  }
  EditMap([&](MapRecord& map) { map.m_wBindPort = static_cast<uint16_t>(nPort); });
}

void PortMapPage::ShowProperties(const MapRecord& record) {
  const QSignalBlocker quietBindPort(m_lpBindPort);
  const QSignalBlocker quietDestPort(m_lpDestPort);
  m_lpBindIp->Show(record.m_dwBindIp);
  m_lpBindPort->setValue(record.m_wBindPort);
  m_lpHost->setText(QString::fromStdString(record.m_sDestHost));
  m_lpDestPort->setValue(record.m_wDestPort);
  m_vTypes[static_cast<size_t>(record.m_serviceType)]->setChecked(true);
  m_lpEnabled->setChecked(record.m_bRunService);
  m_lpThreads->setChecked(record.m_bUseThreads);
  m_lpWaitReply->setChecked(record.m_bWaitReply);
  m_lpAccess->Load(record.m_incoming);
}

void PortMapPage::FillRow(int nRow) {
  const MapRecord& map = m_vMaps[static_cast<size_t>(nRow)];
  QTreeWidgetItem* lpItem = m_lpList->topLevelItem(nRow);
  lpItem->setText(kColBindIp, map.m_dwBindIp == 0 ? QStringLiteral("ANY ADDRESS") : AddressText(map.m_dwBindIp));
  lpItem->setText(kColBindPort, QString::number(map.m_wBindPort));
  lpItem->setText(kColDestHost, QString::fromStdString(map.m_sDestHost));
  lpItem->setText(kColDestPort, QString::number(map.m_wDestPort));
  lpItem->setText(kColType, QString::fromLatin1(kTypes[static_cast<size_t>(map.m_serviceType)].m_lpText));
  lpItem->setText(kColStatus, map.m_bRunService ? QStringLiteral("Enabled") : QStringLiteral("Disabled"));
}

void PortMapPage::EnableProperties(bool bEnabled) { m_lpProperties->setEnabled(bEnabled); }

void PortMapPage::OnSelectionChanged() {
  const QList<QTreeWidgetItem*> selected = m_lpList->selectedItems();
  if (selected.isEmpty()) {
    if (m_bAdding) return;  // "New Map" clears the selection to show the new map
    m_nSelected = -1;
    m_lpDel->setEnabled(false);
    EnableProperties(false);
    return;
  }
  m_bAdding = false;
  m_lpNew->setText(kNewMapText);
  m_nSelected = m_lpList->indexOfTopLevelItem(selected.front());
  ShowProperties(m_vMaps[static_cast<size_t>(m_nSelected)]);
  m_lpDel->setEnabled(true);
  EnableProperties(true);
  ShowNoStatistics(m_vStatistics);
}

void PortMapPage::OnNewOrAdd() {
  if (!m_bAdding) {
    m_bAdding = true;
    m_lpList->clearSelection();
    m_nSelected = -1;
    m_lpDel->setEnabled(false);
    m_newMap = MapRecord{};
    ShowProperties(m_newMap);
    EnableProperties(true);
    m_lpNew->setText(kAddMapText);
    m_lpHost->setFocus();
    return;
  }
  if (m_newMap.m_sDestHost.empty()) {
    m_environment.m_inform(this, kCaptionNewMap, kNoHost);
    return;
  }
  if (BindTaken(m_newMap.m_dwBindIp, m_newMap.m_wBindPort, -1)) {
    m_environment.m_inform(this, kCaptionNewMap, kBindTaken);
    return;
  }
  m_vMaps.push_back(m_newMap);
  m_lpList->addTopLevelItem(new QTreeWidgetItem);
  FillRow(static_cast<int>(m_vMaps.size()) - 1);
  m_bAdding = false;
  m_lpNew->setText(kNewMapText);
  MarkModified();
  m_lpList->setCurrentItem(m_lpList->topLevelItem(static_cast<int>(m_vMaps.size()) - 1));
}

void PortMapPage::OnDelete() {
  if (m_nSelected < 0) return;
  if (!m_environment.m_ask(this, QStringLiteral("PortMap"), QStringLiteral("Remove this PortMap ?"))) return;
  const int nRow = m_nSelected;
  m_vMaps.erase(m_vMaps.begin() + nRow);
  delete m_lpList->takeTopLevelItem(nRow);
  m_lpList->clearSelection();
  m_nSelected = -1;
  m_lpDel->setEnabled(false);
  EnableProperties(false);
  MarkModified();
}

void PortMapPage::Store() { WriteMapRecords(m_vMaps); }

uint8_t PortMapPage::ReloadRequest() const { return control::kReloadMaps; }

void PortMapPage::ShowEngineState(bool /*bRunning*/) { ShowNoStatistics(m_vStatistics); }

}  // namespace harbix::manager
