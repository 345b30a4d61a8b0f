// The SOCKS proxy's page: the service page, the SOCKS versions served, and the button to the
// users dialog (version 5 only knows users).
#pragma once

#include <QPointer>

#include "manager/ServicePage.h"
#include "manager/SocksUsersDialog.h"

class QPushButton;

namespace harbix::manager {

class SocksPage : public ServicePage {
  Q_OBJECT

 public:
  SocksPage(const Environment& environment, QWidget* lpParent = nullptr);

  void Reset() override;
  SocksUsersDialog* UsersDialog() const { return m_lpUsersDialog; }

 private:
  void SetVersionType(int nType);
  void OpenUsers();

  QPushButton* m_lpUsersButton;
  QPointer<SocksUsersDialog> m_lpUsersDialog;
};

}  // namespace harbix::manager
