// The General page: the engine's state and totals, the manager's refresh settings, the
// taskbar icon and engine autostart, the connection limit and the engine's priority.
#pragma once

#include <vector>

#include "common/GeneralConfig.h"
#include "manager/ConfigPage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QTreeWidget;

namespace harbix::manager {

class GeneralPage : public ConfigPage {
  Q_OBJECT

 public:
  GeneralPage(const Environment& environment, QWidget* lpParent = nullptr);

 protected:
  void Store() override;
  uint8_t ReloadRequest() const override;
  void ShowEngineState(bool bRunning) override;

 private:
  QWidget* BuildEngineGroup();
  QWidget* BuildSettingsGroup();
  QCheckBox* NewToggle(int nId, const char* lpText, bool bChecked);

  GeneralConfig m_config;
  bool m_bShowIcon = false;
  bool m_bEngineAutostart = false;
  QLabel* m_lpEngineState = nullptr;
  QLabel* m_lpTotalConnections = nullptr;
  std::vector<QLabel*> m_vStatistics;
  QTreeWidget* m_lpStates = nullptr;
};

}  // namespace harbix::manager
