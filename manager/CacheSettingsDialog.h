// The HTTP cache settings dialog: cache on or off, its folder, its update interval and its
// size, shown in the unit that suits the free space of the folder's drive.
#pragma once


#include <cstdint>
#include <optional>

#include "common/ServiceConfig.h"
#include "manager/PageDialog.h"
#include "manager/Environment.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace harbix::manager {

// The free space of a drive in the unit the dialog shows it in.
struct CacheSpace {
  uint64_t m_cbFree = 0;
  uint64_t m_cbTotal = 0;
  const char* m_lpUnit = "KB";
  int32_t m_nUnitFactor = 1;  // KB per unit
  int m_nMaximum = 1;         // the free space in whole units, the size spin's maximum
};

// Nothing for a drive that cannot be measured or has fewer than 1024 free units.
std::optional<CacheSpace> MeasureCacheSpace(const std::optional<DiskSpace>& space);

class CacheSettingsDialog : public PageDialog {
  Q_OBJECT

 public:
  CacheSettingsDialog(const HttpCacheSettings& settings, const Environment& environment, QWidget* lpParent = nullptr);

 signals:
  // OK or Apply: the settings to write.
  void applied(const HttpCacheSettings& settings);

 private:
  void Browse();
  void OnSizeStep(int nPosition);
  void ShowSpace(const CacheSpace& space);
  void ShowShare(int nPosition);
  void Publish() override { emit applied(m_settings); }

  HttpCacheSettings m_settings;
  const Environment& m_environment;
  std::optional<CacheSpace> m_space;
  QCheckBox* m_lpNoCache;
  QLineEdit* m_lpDir;
  QSpinBox* m_lpUpdate;
  QSpinBox* m_lpSize;
  QLabel* m_lpUnit;
  QLabel* m_lpFree;
};

}  // namespace harbix::manager
