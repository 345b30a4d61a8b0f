// Driving controls as a user does: clicks, typing, choosing list entries, spin steps.
#pragma once

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace harbix::manager {

inline void Click(QAbstractButton* lpButton) {
  QVERIFY(lpButton);
  // Near the left edge: on the indicator of a check or radio box that its layout stretched.
  QTest::mouseClick(lpButton, Qt::LeftButton, {}, QPoint(qMin(8, lpButton->width() / 2), lpButton->height() / 2));
}

// Replaces the text of an edit by typing.
inline void Type(QLineEdit* lpEdit, const QString& sText) {
  QVERIFY(lpEdit);
  lpEdit->selectAll();
  QTest::keyClick(lpEdit, Qt::Key_Delete);
  QTest::keyClicks(lpEdit, sText);
}

inline void Type(QAbstractSpinBox* lpSpin, const QString& sText) {
  QVERIFY(lpSpin);
  lpSpin->selectAll();
  QTest::keyClick(lpSpin, Qt::Key_Delete);
  QTest::keyClicks(lpSpin, sText);
  QTest::keyClick(lpSpin, Qt::Key_Return);  // a spin without keyboard tracking takes it now
}

inline void Step(QAbstractSpinBox* lpSpin, int nSteps) {
  for (int n = 0; n < qAbs(nSteps); ++n) QTest::keyClick(lpSpin, nSteps > 0 ? Qt::Key_Up : Qt::Key_Down);
}

// Moves through a drop-down list with the arrow keys until the entry is selected.
inline void Choose(QComboBox* lpBox, const QString& sText) {
  QVERIFY(lpBox);
  const int nWanted = lpBox->findText(sText);
  QVERIFY2(nWanted >= 0, qPrintable(sText));
  for (int n = 0; n < lpBox->count() && lpBox->currentIndex() != nWanted; ++n) {
    QTest::keyClick(lpBox, lpBox->currentIndex() < nWanted ? Qt::Key_Down : Qt::Key_Up);
  }
  QCOMPARE(lpBox->currentIndex(), nWanted);
}

inline void Select(QListWidget* lpList, int nRow) {
  QVERIFY(lpList && nRow < lpList->count());
  const QRect rect = lpList->visualItemRect(lpList->item(nRow));
  QTest::mouseClick(lpList->viewport(), Qt::LeftButton, {}, rect.center());
}

inline QStringList Lines(const QListWidget* lpList) {
  QStringList lines;
  for (int nRow = 0; nRow < lpList->count(); ++nRow) lines << lpList->item(nRow)->text();
  return lines;
}

}  // namespace harbix::manager
