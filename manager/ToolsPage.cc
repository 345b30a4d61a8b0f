#include "manager/ToolsPage.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "manager/AddressText.h"
#include "manager/ControlIds.h"
#include "manager/Controls.h"
#include "manager/HostLookup.h"

namespace harbix::manager {
namespace {

constexpr int kMaxQueryText = 255;
const QString kSeparator = QStringLiteral(" ; ");

}  // namespace

ToolsPage::ToolsPage(QWidget* lpParent)
    : QWidget(lpParent),
      m_lpQuery(Tag(new QLineEdit, id::kResolveQuery)),
      m_lpResolve(Tag(new QPushButton(QStringLiteral("&Resolve")), id::kResolve)),
      m_lpHostName(NewStatic(id::kHostName, {})),
      m_lpAliases(NewStatic(id::kAliases, {})),
      m_lpPrimary(NewStatic(id::kPrimaryIp, {})),
      m_lpOther(NewStatic(id::kOtherIp, {})) {
  m_lpQuery->setMaxLength(kMaxQueryText);
  m_lpResolve->setEnabled(false);
  auto* lpQueryRow = new QGridLayout;
  auto* lpQueryLabel = new QLabel(QStringLiteral("Enter Host to Resolve :"));
  lpQueryLabel->setBuddy(m_lpQuery);
  lpQueryRow->addWidget(lpQueryLabel, 0, 0);
  lpQueryRow->addWidget(m_lpQuery, 0, 1);
  lpQueryRow->addWidget(m_lpResolve, 0, 2);
  lpQueryRow->setColumnStretch(1, 1);

  auto* lpInfo = new QGroupBox(QStringLiteral("Host Information :"));
  auto* lpInfoColumn = new QVBoxLayout(lpInfo);
  for (QLabel* lpLabel : {m_lpHostName, m_lpAliases, m_lpPrimary, m_lpOther}) {
    lpLabel->setWordWrap(true);
    lpLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lpInfoColumn->addWidget(lpLabel);
  }
  lpInfoColumn->addStretch(1);

  auto* lpPage = new QVBoxLayout(this);
  lpPage->addLayout(lpQueryRow);
  lpPage->addWidget(lpInfo);
  lpPage->addStretch(1);
  ShowUnknown();

  connect(m_lpQuery, &QLineEdit::textChanged, this, &ToolsPage::OnQueryEdited);
  connect(m_lpQuery, &QLineEdit::returnPressed, m_lpResolve, &QPushButton::click);
  connect(m_lpResolve, &QPushButton::clicked, this, &ToolsPage::Resolve);
}

void ToolsPage::OnQueryEdited(const QString& sText) {
  const QString sTrimmed = sText.trimmed();
  m_sQuery = sTrimmed.left(sTrimmed.indexOf(QRegularExpression(QStringLiteral("[ \t\r\n]"))));
  m_lpResolve->setEnabled(!m_sQuery.isEmpty());
}

void ToolsPage::ShowUnknown() {
  m_lpHostName->setText(QStringLiteral("Host Name: N/A"));
  m_lpAliases->setText(QStringLiteral("Aliases: -"));
  m_lpPrimary->setText(QStringLiteral("Primary IP: N/A"));
  m_lpOther->setText(QStringLiteral("Other IP: -"));
}

void ToolsPage::Resolve() {
  if (m_sQuery.isEmpty()) return;
  const std::optional<HostInfo> info = LookUpHost(m_sQuery.toStdString());
  ShowUnknown();
  if (!info) return;
  if (!info->m_sName.empty()) m_lpHostName->setText(QStringLiteral("Host Name: ") + QString::fromStdString(info->m_sName));
  QStringList aliases;
  for (const std::string& sAlias : info->m_vAliases) aliases << QString::fromStdString(sAlias);
  if (!aliases.isEmpty()) m_lpAliases->setText(QStringLiteral("Aliases: ") + aliases.join(kSeparator));
  if (info->m_vAddresses.empty()) return;
  m_lpPrimary->setText(QStringLiteral("Primary IP: ") + AddressText(info->m_vAddresses.front()));
  QStringList others;
  for (size_t n = 1; n < info->m_vAddresses.size(); ++n) others << AddressText(info->m_vAddresses[n]);
  if (!others.isEmpty()) m_lpOther->setText(QStringLiteral("Other IP: ") + others.join(kSeparator));
}

}  // namespace harbix::manager
