// The page of one proxy service: enable, listening address and port, log and threads, the
// access lists and the statistics. The HTTP, SOCKS and DNS pages add their own controls.
#pragma once

#include "common/ServiceConfig.h"
#include "manager/ConfigPage.h"

class QCheckBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QSpinBox;
class QVBoxLayout;

namespace harbix::manager {

class AccessListEditor;
class BindAddressBox;

class ServicePage : public ConfigPage {
  Q_OBJECT

 public:
  ServicePage(ServiceId id, const QString& sTitle, const Environment& environment, QWidget* lpParent = nullptr);

 protected:
  void Store() override;
  uint8_t ReloadRequest() const override;
  void ShowEngineState(bool bRunning) override;

  // Room for a page's own controls: a row under the log and threads boxes, and the column
  // beside the incoming list (which holds the outgoing list where the service has one).
  QHBoxLayout* OptionRow() const { return m_lpOptionRow; }
  QVBoxLayout* SideColumn() const { return m_lpSideColumn; }

  ServiceConfig m_config;

 private:
  QLayout* BuildListening();
  QLayout* BuildStatistics();

  BindAddressBox* m_lpBindIp = nullptr;
  QSpinBox* m_lpPort = nullptr;
  AccessListEditor* m_lpIncoming = nullptr;
  AccessListEditor* m_lpOutgoing = nullptr;
  QLabel* m_lpEngineState = nullptr;
  std::vector<QLabel*> m_vStatistics;
  QHBoxLayout* m_lpOptionRow = nullptr;
  QVBoxLayout* m_lpSideColumn = nullptr;
};

}  // namespace harbix::manager
