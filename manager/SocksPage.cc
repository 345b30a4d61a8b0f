#include "manager/SocksPage.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>

#include <array>

#include "common/ControlMessage.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"

namespace harbix::manager {
namespace {

constexpr int kVersion4Only = 0;

struct VersionChoice {
  int m_nId;
  const char* m_lpText;
};
// By "Version Type": 0 version 4 only, 1 version 5 only, 2 both.
constexpr std::array<VersionChoice, 3> kVersions = {{
    {id::kSocksV4, "SOCKS V4"},
    {id::kSocksV5, "SOCKS V5"},
    {id::kSocksBoth, "BOTH"},
}};

}  // namespace

SocksPage::SocksPage(const Environment& environment, QWidget* lpParent)
    : ServicePage(ServiceId::Socks, QStringLiteral("SOCKS"), environment, lpParent),
      m_lpUsersButton(Tag(new QPushButton(QStringLiteral("Users Sets")), id::kUsersSets)) {
  for (int nType = 0; nType < static_cast<int>(kVersions.size()); ++nType) {
    auto* lpRadio = Tag(new QRadioButton(QString::fromLatin1(kVersions[nType].m_lpText)), kVersions[nType].m_nId);
    lpRadio->setChecked(nType == m_config.m_socks.m_nVersionType);
    connect(lpRadio, &QRadioButton::clicked, this, [this, nType] { SetVersionType(nType); });
    OptionRow()->addWidget(lpRadio);
  }
  m_lpUsersButton->setEnabled(m_config.m_socks.m_nVersionType != kVersion4Only);
  connect(m_lpUsersButton, &QPushButton::clicked, this, &SocksPage::OpenUsers);
  OptionRow()->addWidget(m_lpUsersButton);
}

void SocksPage::SetVersionType(int nType) {
  m_lpUsersButton->setEnabled(nType != kVersion4Only);
  if (nType == m_config.m_socks.m_nVersionType) return;
  m_config.m_socks.m_nVersionType = nType;
  MarkModified();
}

void SocksPage::OpenUsers() {
  if (m_lpUsersDialog) {
    m_lpUsersDialog->raise();
    m_lpUsersDialog->activateWindow();
    return;
  }
  m_lpUsersDialog = new SocksUsersDialog(m_config.m_socks, this);
  m_lpUsersDialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(m_lpUsersDialog, &SocksUsersDialog::applied, this, [this](const SocksSettings& settings) {
    // Only the users and anonymous access are the dialog's; the version stays the page's.
    m_config.m_socks.m_bAllowAnonymous = settings.m_bAllowAnonymous;
    m_config.m_socks.m_users = settings.m_users;
    WriteSocksUsers(m_config);
    NotifyEngine(control::kStartService + static_cast<uint8_t>(ServiceId::Socks));
  });
  m_lpUsersDialog->show();
}

void SocksPage::Reset() {
  if (m_lpUsersDialog) m_lpUsersDialog->reject();
}

}  // namespace harbix::manager
