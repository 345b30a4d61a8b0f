#include "manager/GeneralPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <array>

#include "common/Autostart.h"
#include "common/ControlMessage.h"
#include "common/StatusText.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"
#include "manager/StatisticsTexts.h"

namespace harbix::manager {
namespace {

constexpr int kMaxRefreshRate = 60;
constexpr int kStateColumn = 1;
constexpr int kColumnMargin = 16;

struct PriorityChoice {
  const char* m_lpText;
  int32_t m_nClass;
};
constexpr std::array<PriorityChoice, 4> kPriorities = {{
    {"IDLE (Default)", kPriorityIdle},
    {"Normal", kPriorityNormal},
    {"High", kPriorityHigh},
    {"RealTime (USE WITH CARE)", kPriorityRealtime},
}};
constexpr int kNormalChoice = 1;

int ChoiceOf(int32_t nClass) {
  for (size_t n = 0; n < kPriorities.size(); ++n) {
    if (kPriorities[n].m_nClass == nClass) return static_cast<int>(n);
  }
  return kNormalChoice;
}

QLabel* NewLabel(const char* lpText, QWidget* lpBuddy) {
  auto* lpLabel = new QLabel(QString::fromLatin1(lpText));
  lpLabel->setBuddy(lpBuddy);
  return lpLabel;
}

}  // namespace

GeneralPage::GeneralPage(const Environment& environment, QWidget* lpParent)
    : ConfigPage(QStringLiteral("General"), environment, lpParent),
      m_config(ReadGeneralConfig()),
      m_bShowIcon(environment.m_taskBarIconRuns()),
      m_bEngineAutostart(EngineAutostartSet()) {
  auto* lpPage = new QVBoxLayout(this);
  lpPage->addWidget(BuildEngineGroup(), 1);
  lpPage->addWidget(BuildSettingsGroup());
  ShowEngineState(environment.m_engineRuns());
}

QWidget* GeneralPage::BuildEngineGroup() {
  auto* lpGroup = new QGroupBox;
  auto* lpColumn = new QVBoxLayout(lpGroup);
  m_lpEngineState = new QLabel;
  QFont bold = m_lpEngineState->font();
  bold.setBold(true);
  m_lpEngineState->setFont(bold);
  lpColumn->addWidget(m_lpEngineState);
  auto* lpFigures = new QGridLayout;
  m_lpTotalConnections = new QLabel;
  m_vStatistics = NewStatistics();
  lpFigures->addWidget(m_lpTotalConnections, 0, 0);
  lpFigures->addWidget(m_vStatistics[0], 0, 1);
  lpFigures->addWidget(m_vStatistics[1], 1, 0);
  lpFigures->addWidget(m_vStatistics[2], 1, 1);
  lpColumn->addLayout(lpFigures);

  m_lpStates = Tag(new QTreeWidget, id::kStateList);
  m_lpStates->setHeaderLabels({QStringLiteral("Service Name"), QStringLiteral("State"), QStringLiteral("Description")});
  m_lpStates->setRootIsDecorated(false);
  m_lpStates->setSelectionMode(QAbstractItemView::NoSelection);
  m_lpStates->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  // Room for the longest state from the start, so that the columns do not jump with the engine.
  m_lpStates->header()->setSectionResizeMode(kStateColumn, QHeaderView::Fixed);
  m_lpStates->header()->resizeSection(kStateColumn, m_lpStates->fontMetrics().horizontalAdvance(
                                                        QStringLiteral("PRB: Unable to map Dest Host")) + kColumnMargin);
  for (const ServiceRowText& row : ServiceRows()) {
    m_lpStates->addTopLevelItem(new QTreeWidgetItem(
        {QString::fromLatin1(row.m_lpName), QStringLiteral("N/A"), QString::fromLatin1(row.m_lpDescription)}));
  }
  lpColumn->addWidget(m_lpStates, 1);
  return lpGroup;
}

QCheckBox* GeneralPage::NewToggle(int nId, const char* lpText, bool bChecked) {
  auto* lpBox = Tag(new QCheckBox(QString::fromLatin1(lpText)), nId);
  lpBox->setChecked(bChecked);
  return lpBox;
}

QWidget* GeneralPage::BuildSettingsGroup() {
  QSpinBox* lpRefresh = NewSpin(id::kRefreshRate, id::kRefreshRateSpin, 1, kMaxRefreshRate);
  lpRefresh->setValue(m_config.m_nRefreshRate);
  QCheckBox* lpNoRefresh = NewToggle(id::kNoRefresh, "No Refresh", m_config.m_bNoRefresh);
  QCheckBox* lpShowIcon = NewToggle(id::kShowIcon, "Show Icon on the Windows TaskBar", m_bShowIcon);
  QCheckBox* lpAutostart = NewToggle(id::kEngineAutostart, "Start Engine when Windows starts (Service)", m_bEngineAutostart);
  QSpinBox* lpMaxConnections = NewSpin(id::kMaxConnections, id::kMaxConnectionsSpin, 0, kMaxConnectionsLimit);
  lpMaxConnections->setValue(m_config.m_nMaxConnections);
  auto* lpPriority = Tag(new QComboBox, id::kProcessPriority);
  for (const PriorityChoice& choice : kPriorities) lpPriority->addItem(QString::fromLatin1(choice.m_lpText), choice.m_nClass);
  lpPriority->setCurrentIndex(ChoiceOf(m_config.m_nProcessPriority));
  m_config.m_nProcessPriority = kPriorities[static_cast<size_t>(lpPriority->currentIndex())].m_nClass;

  auto* lpGroup = new QGroupBox;
  auto* lpGrid = new QGridLayout(lpGroup);
  lpGrid->addWidget(NewLabel("Refresh Rate (Secs) :", lpRefresh), 0, 0);
  lpGrid->addWidget(lpRefresh, 0, 1);
  lpGrid->addWidget(lpNoRefresh, 0, 2);
  lpGrid->addWidget(NewLabel("Maximum Connections:", lpMaxConnections), 1, 0);
  lpGrid->addWidget(lpMaxConnections, 1, 1);
  lpGrid->addWidget(new QLabel(QStringLiteral("(Zero means NO LIMIT)")), 1, 2);
  lpGrid->addWidget(NewLabel("Process Priority:", lpPriority), 2, 0);
  lpGrid->addWidget(lpPriority, 2, 1, 1, 2);
  lpGrid->setColumnStretch(3, 1);
  lpGrid->addWidget(lpShowIcon, 3, 0, 1, 3);
  lpGrid->addWidget(lpAutostart, 4, 0, 1, 3);

  connect(lpRefresh, &QSpinBox::valueChanged, this, [this](int nSeconds) {
    m_config.m_nRefreshRate = nSeconds;
    MarkModified();
  });
  connect(lpNoRefresh, &QCheckBox::toggled, this, [this](bool bOn) {
    m_config.m_bNoRefresh = bOn;
    MarkModified();
  });
  connect(lpShowIcon, &QCheckBox::toggled, this, [this](bool bOn) {
    m_bShowIcon = bOn;
    MarkModified();
  });
  connect(lpAutostart, &QCheckBox::toggled, this, [this](bool bOn) {
    m_bEngineAutostart = bOn;
    MarkModified();
  });
  connect(lpMaxConnections, &QSpinBox::valueChanged, this, [this](int nLimit) {
    m_config.m_nMaxConnections = nLimit;
    MarkModified();
  });
  connect(lpPriority, &QComboBox::activated, this, [this](int nIndex) {
    m_config.m_nProcessPriority = kPriorities[static_cast<size_t>(nIndex)].m_nClass;
    MarkModified();
  });
  return lpGroup;
}

void GeneralPage::Store() {
  if (m_bShowIcon) {
    m_environment.m_startTaskBarIcon();
  } else {
    m_environment.m_closeTaskBarIcon();
    ClearIconAutostart();
  }
  if (m_bEngineAutostart) {
    SetEngineAutostart();
  } else {
    ClearEngineAutostart();
  }
  WriteGeneralConfig(m_config);
}

uint8_t GeneralPage::ReloadRequest() const { return control::kReloadGeneral; }

void GeneralPage::ShowEngineState(bool bRunning) {
  m_lpEngineState->setText(bRunning ? QStringLiteral("Engine is running") : QStringLiteral("Engine is not running"));
  m_lpTotalConnections->setText(QStringLiteral("Total Connections: N/A"));
  ShowNoStatistics(m_vStatistics);
  for (int nRow = 0; nRow < m_lpStates->topLevelItemCount(); ++nRow) m_lpStates->topLevelItem(nRow)->setText(kStateColumn, QStringLiteral("N/A"));
}

}  // namespace harbix::manager
