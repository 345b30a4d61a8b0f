#include "manager/SocksUsersDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "manager/ControlIds.h"
#include "manager/Controls.h"

namespace harbix::manager {
namespace {

constexpr int kMaxUserText = 255;
const QString kNewText = QStringLiteral("&New");
const QString kAddText = QStringLiteral("&Add");

QLineEdit* NewUserEdit(int nId, bool bHidden) {
  auto* lpEdit = Tag(new QLineEdit, nId);
  lpEdit->setMaxLength(kMaxUserText);
  if (bHidden) lpEdit->setEchoMode(QLineEdit::Password);
  return lpEdit;
}

}  // namespace

QString UserWord(const QString& sText) {
  const QString sTrimmed = sText.trimmed();
  const qsizetype nEnd = sTrimmed.indexOf(QRegularExpression(QStringLiteral("[ \t\r\n]")));
  return nEnd < 0 ? sTrimmed : sTrimmed.left(nEnd);
}

SocksUsersDialog::SocksUsersDialog(const SocksSettings& settings, QWidget* lpParent)
    : PageDialog(lpParent),
      m_settings(settings),
      m_lpAnonymous(Tag(new QCheckBox(QStringLiteral("Allow anonymous users")), id::kAllowAnonymous)),
      m_lpUsers(Tag(new QListWidget, id::kUserList)),
      m_lpNew(NewButton(id::kNewUser, kNewText)),
      m_lpDel(NewButton(id::kDelUser, QStringLiteral("Del"))),
      m_lpName(NewUserEdit(id::kUserName, false)),
      m_lpPassword(NewUserEdit(id::kPassword, true)),
      m_lpRetype(NewUserEdit(id::kRetypePassword, true)) {
  setWindowTitle(QStringLiteral("SOCKS Authentication"));
  auto* lpGroup = new QGroupBox(QStringLiteral("Users to allow"));
  auto* lpGrid = new QGridLayout(lpGroup);
  lpGrid->addWidget(m_lpUsers, 0, 0, 3, 2);
  lpGrid->addWidget(m_lpNew, 0, 2);
  lpGrid->addWidget(m_lpDel, 1, 2);
  lpGrid->setRowStretch(2, 1);
  const std::pair<const char*, QLineEdit*> edits[] = {
      {"UserName:", m_lpName}, {"PassWord:", m_lpPassword}, {"ReType PassWord:", m_lpRetype}};
  int nRow = 3;
  for (const auto& [lpText, lpEdit] : edits) {
    auto* lpLabel = new QLabel(QString::fromLatin1(lpText));
    lpLabel->setBuddy(lpEdit);
    lpGrid->addWidget(lpLabel, nRow, 0);
    lpGrid->addWidget(lpEdit, nRow++, 1, 1, 2);
  }
  lpGrid->setColumnStretch(1, 1);

  auto* lpLayout = new QVBoxLayout(this);
  lpLayout->addWidget(m_lpAnonymous);
  lpLayout->addWidget(lpGroup, 1);
  lpLayout->addLayout(ButtonRow());

  m_lpAnonymous->setChecked(m_settings.m_bAllowAnonymous);
  for (const auto& [sName, sPassword] : m_settings.m_users) m_lpUsers->addItem(QString::fromStdString(sName));
  EnterIdle();

  connect(m_lpAnonymous, &QCheckBox::toggled, this, [this](bool bOn) {
    m_settings.m_bAllowAnonymous = bOn;
    MarkChanged();
  });
  connect(m_lpUsers, &QListWidget::itemSelectionChanged, this, &SocksUsersDialog::OnSelectionChanged);
  connect(m_lpNew, &QPushButton::clicked, this, &SocksUsersDialog::OnNewOrAdd);
  connect(m_lpDel, &QPushButton::clicked, this, &SocksUsersDialog::OnDel);
}

void SocksUsersDialog::SetEditsEnabled(bool bEnabled) {
  for (QLineEdit* lpEdit : {m_lpName, m_lpPassword, m_lpRetype}) {
    lpEdit->clear();
    lpEdit->setEnabled(bEnabled);
  }
}

void SocksUsersDialog::EnterIdle() {
  m_bAdding = false;
  SetEditsEnabled(false);
  m_lpNew->setText(kNewText);
  m_lpDel->setEnabled(!m_lpUsers->selectedItems().isEmpty());
}

void SocksUsersDialog::OnNewOrAdd() {
  if (!m_bAdding) {
    m_lpUsers->clearSelection();
    m_bAdding = true;
    SetEditsEnabled(true);
    m_lpNew->setText(kAddText);
    m_lpDel->setEnabled(false);
    m_lpName->setFocus();
    return;
  }
  const QString sName = UserWord(m_lpName->text());
  const QString sPassword = UserWord(m_lpPassword->text());
  const QString sRetyped = UserWord(m_lpRetype->text());
  EnterIdle();
  if (sName.isEmpty() || sPassword.isEmpty() || sPassword != sRetyped) return;
  if (!m_settings.m_users.emplace(sName.toStdString(), sPassword.toStdString()).second) return;  // the name is taken
  m_lpUsers->addItem(sName);
  MarkChanged();
}

void SocksUsersDialog::OnSelectionChanged() {
  if (m_lpUsers->selectedItems().isEmpty()) {
    m_lpDel->setEnabled(false);
    return;
  }
  EnterIdle();
}

void SocksUsersDialog::OnDel() {
  const QList<QListWidgetItem*> selected = m_lpUsers->selectedItems();
  if (selected.isEmpty()) return;
  m_settings.m_users.erase(selected.front()->text().toStdString());
  delete selected.front();
  EnterIdle();
  MarkChanged();
}

}  // namespace harbix::manager
