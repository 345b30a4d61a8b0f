// The HTTP proxy's page: the service page and the button to its cache settings dialog.
#pragma once

#include <QPointer>

#include "manager/CacheSettingsDialog.h"
#include "manager/ServicePage.h"

namespace harbix::manager {

class HttpPage : public ServicePage {
  Q_OBJECT

 public:
  HttpPage(const Environment& environment, QWidget* lpParent = nullptr);

  void Reset() override;
  // The open cache settings dialog, if any.
  CacheSettingsDialog* CacheDialog() const { return m_lpCacheDialog; }

 private:
  void OpenCacheSettings();

  QPointer<CacheSettingsDialog> m_lpCacheDialog;
};

}  // namespace harbix::manager
