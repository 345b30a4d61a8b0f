#include "manager/HttpPage.h"

#include <QHBoxLayout>
#include <QPushButton>

#include "common/ControlMessage.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"

namespace harbix::manager {

HttpPage::HttpPage(const Environment& environment, QWidget* lpParent)
    : ServicePage(ServiceId::Http, QStringLiteral("HTTP"), environment, lpParent) {
  auto* lpButton = Tag(new QPushButton(QStringLiteral("&Cache Settings")), id::kCacheSettings);
  connect(lpButton, &QPushButton::clicked, this, &HttpPage::OpenCacheSettings);
  OptionRow()->addWidget(lpButton);
}

void HttpPage::OpenCacheSettings() {
  if (m_lpCacheDialog) {
    m_lpCacheDialog->raise();
    m_lpCacheDialog->activateWindow();
    return;
  }
  m_lpCacheDialog = new CacheSettingsDialog(m_config.m_http, m_environment, this);
  m_lpCacheDialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(m_lpCacheDialog, &CacheSettingsDialog::applied, this, [this](const HttpCacheSettings& settings) {
    m_config.m_http = settings;
    WriteHttpCache(m_config);
    NotifyEngine(control::kStartService + static_cast<uint8_t>(ServiceId::Http));
  });
  m_lpCacheDialog->show();
}

void HttpPage::Reset() {
  if (m_lpCacheDialog) m_lpCacheDialog->reject();
}

}  // namespace harbix::manager
