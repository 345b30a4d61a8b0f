// The PortMap page: the list of port maps, adding and removing maps, and the properties of the
// selected (or the new) map.
#pragma once

#include <vector>

#include "common/MapRecord.h"
#include "manager/ConfigPage.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTreeWidget;

namespace harbix::manager {

class AccessListEditor;
class BindAddressBox;

class PortMapPage : public ConfigPage {
  Q_OBJECT

 public:
  PortMapPage(const Environment& environment, QWidget* lpParent = nullptr);

  const std::vector<MapRecord>& Maps() const { return m_vMaps; }

 protected:
  void Store() override;
  uint8_t ReloadRequest() const override;
  void ShowEngineState(bool bRunning) override;

 private:
  QGroupBox* BuildProperties();
  void BuildPropertyControls();
  void ConnectPropertyControls();
  void OnSelectionChanged();
  void OnNewOrAdd();
  void OnDelete();
  void OnBindIpChosen(uint32_t dwAddress);
  void OnBindPortChanged(int nPort);
  // Applies an edit to the map being edited; a selected map's row is refreshed and the page
  // marked modified.
  template <typename Edit>
  void EditMap(Edit edit);

  // The map the properties edit: the new one while adding, else the selected one, else none.
  MapRecord* Current();
  // Whether a map other than the selected one listens on this address and port.
  bool BindTaken(uint32_t dwAddress, uint16_t wPort, int nExcept) const;
  void ShowProperties(const MapRecord& record);
  void FillRow(int nRow);
  void EnableProperties(bool bEnabled);

  std::vector<MapRecord> m_vMaps;
  int m_nSelected = -1;
  bool m_bAdding = false;
  MapRecord m_newMap;

  QTreeWidget* m_lpList = nullptr;
  QPushButton* m_lpNew = nullptr;
  QPushButton* m_lpDel = nullptr;
  QGroupBox* m_lpProperties = nullptr;
  BindAddressBox* m_lpBindIp = nullptr;
  QSpinBox* m_lpBindPort = nullptr;
  QLineEdit* m_lpHost = nullptr;
  QSpinBox* m_lpDestPort = nullptr;
  std::vector<QRadioButton*> m_vTypes;
  QCheckBox* m_lpEnabled = nullptr;
  QCheckBox* m_lpThreads = nullptr;
  QCheckBox* m_lpWaitReply = nullptr;
  AccessListEditor* m_lpAccess = nullptr;
  std::vector<QLabel*> m_vStatistics;
};

}  // namespace harbix::manager
