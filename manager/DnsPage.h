// The DNS proxy's page: the service page without threads and outgoing list, plus the name
// server requests are forwarded to, "Forward Only" and the hosts file.
#pragma once

#include "manager/ServicePage.h"

class QComboBox;

namespace harbix::manager {

class DnsPage : public ServicePage {
  Q_OBJECT

 public:
  DnsPage(const Environment& environment, QWidget* lpParent = nullptr);

 private:
  void OnServerTyped(const QString& sText);
  void OpenHostsFile();

  QComboBox* m_lpServer;
};

}  // namespace harbix::manager
