#include "manager/PageDialog.h"

#include <QApplication>
#include <QEvent>

namespace harbix::manager {

void PageDialog::changeEvent(QEvent* lpEvent) {
  QDialog::changeEvent(lpEvent);
  if (lpEvent->type() != QEvent::ActivationChange || isActiveWindow() || m_nKeepOpen > 0 || !isVisible()) return;
  const QWidget* lpActive = QApplication::activeWindow();
  if (lpActive && lpActive != this && !isAncestorOf(lpActive)) reject();
}

}  // namespace harbix::manager
