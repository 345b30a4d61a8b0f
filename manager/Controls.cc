#include "manager/Controls.h"

#include "manager/ControlIds.h"

namespace harbix::manager {

QSpinBox* NewSpin(int nEditId, int nSpinId, int nMinimum, int nMaximum) {
  auto* lpSpin = Tag(new QSpinBox, nEditId);
  lpSpin->setProperty("spinId", nSpinId);
  lpSpin->setRange(nMinimum, nMaximum);
  lpSpin->setAccelerated(true);
  return lpSpin;
}

QLabel* NewStatic(int nId, const QString& sText) { return Tag(new QLabel(sText), nId); }

QLabel* NewEngineState() {
  QLabel* lpLabel = NewStatic(id::kEngineState, {});
  lpLabel->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
  return lpLabel;
}

}  // namespace harbix::manager
