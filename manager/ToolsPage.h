// The Tools page: looks a host up by name or address and shows its names and addresses.
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace harbix::manager {

class ToolsPage : public QWidget {
  Q_OBJECT

 public:
  explicit ToolsPage(QWidget* lpParent = nullptr);

 private:
  void OnQueryEdited(const QString& sText);
  void Resolve();
  void ShowUnknown();

  QString m_sQuery;
  QLineEdit* m_lpQuery;
  QPushButton* m_lpResolve;
  QLabel* m_lpHostName;
  QLabel* m_lpAliases;
  QLabel* m_lpPrimary;
  QLabel* m_lpOther;
};

}  // namespace harbix::manager
