// The sheet "Harbix Proxy Manager": a tab per page, OK, Cancel and Apply. Apply is enabled
// while a page has changes; OK and Apply write the changed pages, Cancel writes nothing.
#pragma once

#include <QDialog>

#include <vector>

#include "manager/Environment.h"

class QPushButton;
class QTabWidget;

namespace harbix::manager {

class ConfigPage;

class PropertySheet : public QDialog {
  Q_OBJECT

 public:
  explicit PropertySheet(const Environment& environment, QWidget* lpParent = nullptr);

  QTabWidget* Tabs() const { return m_lpTabs; }
  QPushButton* ApplyButton() const { return m_lpApply; }
  // The page of a tab title ("General", "DNS", ...), nullptr when none.
  ConfigPage* Page(const QString& sTitle) const;

  void Apply();
  void accept() override;
  // F1: the help topic of the control with the focus (or of the control it is part of, such
  // as a spin's edit), shown as a pop-up; controls without an identifier have none.
  void ShowHelp(QWidget* lpFocus);
  static QString HelpFor(const QWidget* lpFocus);
  void reject() override;

 private:
  void AddPage(ConfigPage* lpPage);
  void UpdateApply();

  QTabWidget* m_lpTabs;
  QPushButton* m_lpApply;
  std::vector<ConfigPage*> m_vPages;
};

}  // namespace harbix::manager
