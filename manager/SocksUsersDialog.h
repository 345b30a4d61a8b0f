// The SOCKS users dialog: anonymous access and the user names and passwords version 5 clients
// log in with.
#pragma once


#include "common/ServiceConfig.h"
#include "manager/PageDialog.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace harbix::manager {

class SocksUsersDialog : public PageDialog {
  Q_OBJECT

 public:
  explicit SocksUsersDialog(const SocksSettings& settings, QWidget* lpParent = nullptr);

 signals:
  // OK or Apply: the settings to write.
  void applied(const SocksSettings& settings);

 private:
  void OnNewOrAdd();
  void OnDel();
  void OnSelectionChanged();
  void SetEditsEnabled(bool bEnabled);
  void EnterIdle();
  void Publish() override { emit applied(m_settings); }

  // Edits of a cancelled dialog are dropped: the dialog works on its own copy.
  SocksSettings m_settings;
  bool m_bAdding = false;
  QCheckBox* m_lpAnonymous;
  QListWidget* m_lpUsers;
  QPushButton* m_lpNew;
  QPushButton* m_lpDel;
  QLineEdit* m_lpName;
  QLineEdit* m_lpPassword;
  QLineEdit* m_lpRetype;
};

// What an edit of the dialog keeps of its text: white space removed at both ends, then cut at
// the first blank, tab or line end.
QString UserWord(const QString& sText);

}  // namespace harbix::manager
