#include "manager/PageDialog.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QPushButton>

#include "manager/ControlIds.h"
#include "manager/Controls.h"

namespace harbix::manager {

PageDialog::PageDialog(QWidget* lpParent)
    : QDialog(lpParent),
      m_lpOk(NewButton(id::kOk, QStringLiteral("OK"))),
      m_lpApply(NewButton(id::kApply, QStringLiteral("Apply"))),
      m_lpClose(NewButton(id::kCancel, QStringLiteral("Close"))) {
  m_lpOk->setEnabled(false);
  m_lpApply->setEnabled(false);
  m_lpOk->setDefault(true);
  connect(m_lpOk, &QPushButton::clicked, this, [this] {
    Apply();
    accept();
  });
  connect(m_lpApply, &QPushButton::clicked, this, &PageDialog::Apply);
  connect(m_lpClose, &QPushButton::clicked, this, &QDialog::reject);
}

QLayout* PageDialog::ButtonRow() {
  auto* lpButtons = new QHBoxLayout;
  lpButtons->addStretch(1);
  lpButtons->addWidget(m_lpOk);
  lpButtons->addWidget(m_lpApply);
  lpButtons->addWidget(m_lpClose);
  return lpButtons;
}

void PageDialog::MarkChanged() {
  m_lpOk->setEnabled(true);
  m_lpApply->setEnabled(true);
  m_lpClose->setText(QStringLiteral("Cancel"));
}

void PageDialog::Apply() {
  Publish();
  m_lpOk->setEnabled(false);
  m_lpApply->setEnabled(false);
  m_lpClose->setText(QStringLiteral("Close"));
}

void PageDialog::changeEvent(QEvent* lpEvent) {
  QDialog::changeEvent(lpEvent);
  if (lpEvent->type() != QEvent::ActivationChange || isActiveWindow() || m_nKeepOpen > 0 || !isVisible()) return;
  const QWidget* lpActive = QApplication::activeWindow();
  if (lpActive && lpActive != this && !isAncestorOf(lpActive)) reject();
}

}  // namespace harbix::manager
