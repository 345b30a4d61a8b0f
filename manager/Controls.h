// Small helpers that build the pages' controls: each control gets its identifier as object
// name and its help topic as What's This text.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QString>
#include <QWidget>

#include "manager/HelpTopics.h"

namespace harbix::manager {

inline constexpr int kMinPort = 1;
inline constexpr int kMaxPort = 65535;

template <typename Widget>
Widget* Tag(Widget* lpWidget, int nId) {
  lpWidget->setObjectName(QString::number(nId));
  lpWidget->setWhatsThis(HelpTopic(nId));
  return lpWidget;
}

// An edit with its spin: the edit's identifier names the box, the spin's is kept beside it.
QSpinBox* NewSpin(int nEditId, int nSpinId, int nMinimum, int nMaximum);
inline QSpinBox* NewPortSpin(int nEditId, int nSpinId) { return NewSpin(nEditId, nSpinId, kMinPort, kMaxPort); }

// A button with an identifier.
inline QPushButton* NewButton(int nId, const QString& sText) { return Tag(new QPushButton(sText), nId); }

// A static text with an identifier.
QLabel* NewStatic(int nId, const QString& sText);

// The engine-state text of the service pages, in red.
QLabel* NewEngineState();

}  // namespace harbix::manager
