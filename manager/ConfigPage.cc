#include "manager/ConfigPage.h"

namespace harbix::manager {

ConfigPage::ConfigPage(const QString& sTitle, const Environment& environment, QWidget* lpParent)
    : QWidget(lpParent), m_environment(environment), m_sTitle(sTitle) {}

void ConfigPage::Apply() {
  const bool bRunning = m_environment.m_engineRuns();
  ShowEngineState(bRunning);
  Store();
  if (bRunning) m_environment.m_sendRequest(ReloadRequest());
  m_bModified = false;
  emit modifiedChanged(false);
}

void ConfigPage::MarkModified() {
  const bool bWasModified = m_bModified;
  m_bModified = true;
  if (!bWasModified) emit modifiedChanged(true);
}

void ConfigPage::NotifyEngine(uint8_t bRequest) const {
  if (m_environment.m_engineRuns()) m_environment.m_sendRequest(bRequest);
}

void ConfigPage::showEvent(QShowEvent* lpEvent) {
  // Entering a page refreshes the engine state, as the page's status poll will.
  ShowEngineState(m_environment.m_engineRuns());
  QWidget::showEvent(lpEvent);
}

}  // namespace harbix::manager
