#include "manager/CacheSettingsDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <climits>

#include "manager/ControlIds.h"
#include "manager/Controls.h"

namespace harbix::manager {
namespace {

constexpr uint64_t kMinFreeUnits = 1024;
constexpr int kMaxCacheUpdate = 720;
constexpr int kBrowseSharePercent = 10;
constexpr uint64_t kKiB = 1024;
constexpr uint64_t kHundredths = 100;           // amounts are shown with two decimals
constexpr uint64_t kShareScale = 100 * 100;     // shares in hundredths of a percent
constexpr int kDirectoryChars = 32;             // the width of the folder edit

struct SizeUnit {
  const char* m_lpName;
  int32_t m_nFactor;   // KB per unit
  uint64_t m_cbBelow;  // the unit serves free spaces below this
};
constexpr std::array<SizeUnit, 4> kUnits = {{
    {"KB", 1, 5 * kKiB * kKiB},
    {"MB", 1024, 5 * kKiB * kKiB * kKiB},
    {"GB", 1024 * 1024, 5 * kKiB * kKiB * kKiB * kKiB},
    {"TB", 1024 * 1024 * 1024, UINT64_MAX},
}};

// "%u.%02u" of a ratio in hundredths.
QString Hundredths(uint64_t qwHundredths) {
  return QStringLiteral("%1.%2").arg(qwHundredths / kHundredths).arg(qwHundredths % kHundredths, 2, 10, QLatin1Char('0'));
}

}  // namespace

std::optional<CacheSpace> MeasureCacheSpace(const std::optional<DiskSpace>& space) {
  if (!space || space->m_qwFreeUnits < kMinFreeUnits || space->m_qwTotalUnits == 0) return std::nullopt;
  CacheSpace result;
  result.m_cbFree = space->m_qwFreeUnits * space->m_cbUnit;
  result.m_cbTotal = space->m_qwTotalUnits * space->m_cbUnit;
  const SizeUnit& unit = *std::find_if(kUnits.begin(), kUnits.end(), [&](const SizeUnit& u) { return result.m_cbFree < u.m_cbBelow; });
  result.m_lpUnit = unit.m_lpName;
  result.m_nUnitFactor = unit.m_nFactor;
  // The size is stored in KB as a signed 32-bit number: a larger maximum would be written as a
  // negative size, which readers turn into 1 KB.
  const uint64_t qwUnits = result.m_cbFree / (kKiB * static_cast<uint64_t>(unit.m_nFactor));
  result.m_nMaximum = static_cast<int>(std::clamp<uint64_t>(qwUnits, 1, INT32_MAX / unit.m_nFactor));
  return result;
}

CacheSettingsDialog::CacheSettingsDialog(const HttpCacheSettings& settings, const Environment& environment, QWidget* lpParent)
    : PageDialog(lpParent),
      m_settings(settings),
      m_environment(environment),
      m_lpNoCache(Tag(new QCheckBox(QStringLiteral("Disable HTTP Caching")), id::kNoCache)),
      m_lpDir(Tag(new QLineEdit, id::kCacheDir)),
      m_lpUpdate(NewSpin(id::kCacheUpdate, id::kCacheUpdateSpin, 1, kMaxCacheUpdate)),
      m_lpSize(NewSpin(id::kCacheSize, id::kCacheSizeSpin, 1, INT32_MAX)),
      m_lpUnit(NewStatic(id::kSizeUnit, QStringLiteral("KB"))),
      m_lpFree(NewStatic(id::kFreeSpace, QStringLiteral("Free Disk Space: N/A"))) {
  setWindowTitle(QStringLiteral("Cache Settings"));
  auto* lpGrid = new QGridLayout;
  lpGrid->addWidget(m_lpNoCache, 0, 0, 1, 4);
  auto* lpDirLabel = new QLabel(QStringLiteral("Cache Directory :"));
  lpDirLabel->setBuddy(m_lpDir);
  auto* lpBrowse = NewButton(id::kBrowse, QStringLiteral("&Browse"));
  lpGrid->addWidget(lpDirLabel, 1, 0);
  lpGrid->addWidget(m_lpDir, 1, 1, 1, 2);
  lpGrid->addWidget(lpBrowse, 1, 3);
  auto* lpUpdateLabel = new QLabel(QStringLiteral("Update Cache every"));
  lpUpdateLabel->setBuddy(m_lpUpdate);
  lpGrid->addWidget(lpUpdateLabel, 2, 0);
  lpGrid->addWidget(m_lpUpdate, 2, 1);
  lpGrid->addWidget(new QLabel(QStringLiteral("Minute(s)")), 2, 2, 1, 2);
  auto* lpSizeLabel = new QLabel(QStringLiteral("Maximum Disk space allowed :"));
  lpSizeLabel->setBuddy(m_lpSize);
  lpGrid->addWidget(lpSizeLabel, 3, 0);
  lpGrid->addWidget(m_lpSize, 3, 1);
  lpGrid->addWidget(m_lpUnit, 3, 2, 1, 2);
  lpGrid->addWidget(m_lpFree, 4, 0, 1, 4);
  lpGrid->setColumnStretch(2, 1);
  m_lpDir->setMinimumWidth(m_lpDir->fontMetrics().horizontalAdvance(QLatin1Char('x')) * kDirectoryChars);

  auto* lpLayout = new QVBoxLayout(this);
  lpLayout->addLayout(lpGrid);
  lpLayout->addStretch(1);
  lpLayout->addLayout(ButtonRow());

  m_lpNoCache->setChecked(m_settings.m_bNoCache);
  m_lpDir->setReadOnly(true);
  m_lpDir->setText(QString::fromStdString(m_settings.m_sCacheDir));
  m_lpUpdate->setValue(m_settings.m_nCacheUpdate);
  m_lpSize->setValue(m_settings.m_nCacheSize);

  // The stored size is converted into the unit of the free space; a drive that cannot be
  // measured leaves it in KB.
  m_space = MeasureCacheSpace(m_environment.m_diskSpace(m_lpDir->text()));
  if (m_space) {
    ShowSpace(*m_space);
    const int nPosition = std::clamp(m_settings.m_nCacheSize / m_space->m_nUnitFactor, 1, m_space->m_nMaximum);
    m_settings.m_nCacheSize = nPosition * m_space->m_nUnitFactor;
    const QSignalBlocker quiet(m_lpSize);
    m_lpSize->setValue(nPosition);
    ShowShare(nPosition);
  }

  connect(m_lpNoCache, &QCheckBox::toggled, this, [this](bool bOn) {
    m_settings.m_bNoCache = bOn;
    MarkChanged();
  });
  connect(m_lpUpdate, &QSpinBox::valueChanged, this, [this](int nMinutes) {
    m_settings.m_nCacheUpdate = nMinutes;
    MarkChanged();
  });
  connect(m_lpSize, &QSpinBox::valueChanged, this, &CacheSettingsDialog::OnSizeStep);
  connect(lpBrowse, &QPushButton::clicked, this, &CacheSettingsDialog::Browse);
}

void CacheSettingsDialog::ShowSpace(const CacheSpace& space) {
  const uint64_t cbUnit = kKiB * static_cast<uint64_t>(space.m_nUnitFactor);
  const uint64_t qwAmount = space.m_cbFree / cbUnit * kHundredths + space.m_cbFree % cbUnit * kHundredths / cbUnit;
  const uint64_t qwShare = space.m_cbTotal ? space.m_cbFree * kShareScale / space.m_cbTotal : 0;
  m_lpFree->setText(QStringLiteral("Free Disk Space: %1 %2 (%3%)").arg(Hundredths(qwAmount), QLatin1String(space.m_lpUnit), Hundredths(qwShare)));
  m_lpSize->setRange(1, space.m_nMaximum);
}

void CacheSettingsDialog::ShowShare(int nPosition) {
  const uint64_t qwShare = static_cast<uint64_t>(nPosition) * kShareScale / static_cast<uint64_t>(m_space->m_nMaximum);
  m_lpUnit->setText(QStringLiteral("%1 (%2%)").arg(QLatin1String(m_space->m_lpUnit), Hundredths(qwShare)));
}

void CacheSettingsDialog::OnSizeStep(int nPosition) {
  const int32_t nFactor = m_space ? m_space->m_nUnitFactor : 1;
  if (nPosition * nFactor == m_settings.m_nCacheSize) return;
  m_settings.m_nCacheSize = nPosition * nFactor;
  if (m_space) ShowShare(nPosition);
  MarkChanged();
}

void CacheSettingsDialog::Browse() {
  QString sFolder;
  {
    const KeepOpen keep(*this);
    sFolder = m_environment.m_chooseFolder(this, QStringLiteral("Select a Cache Folder"), m_lpDir->text());
  }
  if (sFolder.isEmpty() || sFolder == m_lpDir->text()) return;
  std::optional<CacheSpace> space = MeasureCacheSpace(m_environment.m_diskSpace(sFolder));
  if (!space) return;  // a drive without room keeps the folder there was
  m_space = space;
  m_settings.m_sCacheDir = sFolder.toStdString();
  m_lpDir->setText(sFolder);
  ShowSpace(*m_space);
  const int nPosition = std::max(1, m_space->m_nMaximum * kBrowseSharePercent / 100);
  m_settings.m_nCacheSize = nPosition * m_space->m_nUnitFactor;
  {
    const QSignalBlocker quiet(m_lpSize);
    m_lpSize->setValue(nPosition);
  }
  m_lpUnit->setText(QStringLiteral("%1 (10.00%)").arg(QLatin1String(m_space->m_lpUnit)));
  MarkChanged();
}

}  // namespace harbix::manager
