#include "manager/AccessListEditor.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "manager/AddressText.h"
#include "manager/Controls.h"

namespace harbix::manager {
namespace {

const QString kNewText = QStringLiteral("&New");
const QString kAddText = QStringLiteral("&Add");
constexpr int kVisibleLines = 4;
constexpr int kLineMargin = 24;  // frame and scroll bar beside the widest line

QString LineOf(const AddressMask& entry) { return AddressText(entry.m_dwAddress) + ':' + AddressText(entry.m_dwMask); }

QLineEdit* NewAddressEdit(int nId) {
  auto* lpEdit = Tag(new QLineEdit, nId);
  lpEdit->setMaxLength(kMaxAddressText);
  return lpEdit;
}

}  // namespace

AccessListEditor::AccessListEditor(const id::AccessListIds& ids, const AccessListTexts& texts, QWidget* lpParent)
    : QGroupBox(texts.m_sTitle, lpParent),
      m_lpLines(Tag(new QListWidget, ids.m_nList)),
      m_lpNew(Tag(new QPushButton(kNewText), ids.m_nNew)),
      m_lpDel(Tag(new QPushButton(QStringLiteral("&Del")), ids.m_nDel)),
      m_lpAddress(NewAddressEdit(ids.m_nAddress)),
      m_lpMask(NewAddressEdit(ids.m_nMask)),
      m_lpAllow(Tag(new QRadioButton(texts.m_sAllow), ids.m_nAllow)),
      m_lpDeny(Tag(new QRadioButton(texts.m_sDeny), ids.m_nDeny)) {
  m_lpLines->setSelectionMode(QAbstractItemView::SingleSelection);
  m_lpLines->setMinimumHeight(m_lpLines->fontMetrics().height() * kVisibleLines);
  m_lpLines->setMinimumWidth(m_lpLines->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255:255.255.255.255")) + kLineMargin);

  auto* lpGrid = new QGridLayout(this);
  lpGrid->addWidget(m_lpLines, 0, 0, 3, 2);
  lpGrid->addWidget(m_lpNew, 0, 2);
  lpGrid->addWidget(m_lpDel, 1, 2);
  lpGrid->setRowStretch(2, 1);
  auto* lpAddressLabel = new QLabel(QStringLiteral("IP:"));
  auto* lpMaskLabel = new QLabel(QStringLiteral("Mask:"));
  lpAddressLabel->setBuddy(m_lpAddress);
  lpMaskLabel->setBuddy(m_lpMask);
  lpGrid->addWidget(lpAddressLabel, 3, 0);
  lpGrid->addWidget(m_lpAddress, 3, 1, 1, 2);
  lpGrid->addWidget(lpMaskLabel, 4, 0);
  lpGrid->addWidget(m_lpMask, 4, 1, 1, 2);
  auto* lpChoice = new QVBoxLayout;
  lpChoice->addWidget(m_lpAllow);
  lpChoice->addWidget(m_lpDeny);
  lpGrid->addLayout(lpChoice, 5, 0, 1, 3);
  lpGrid->setColumnStretch(1, 1);

  connect(m_lpLines, &QListWidget::itemSelectionChanged, this, &AccessListEditor::OnSelectionChanged);
  connect(m_lpNew, &QPushButton::clicked, this, &AccessListEditor::OnNewOrAdd);
  connect(m_lpDel, &QPushButton::clicked, this, &AccessListEditor::OnDel);
  connect(m_lpAddress, &QLineEdit::textEdited, this, &AccessListEditor::OnEdited);
  connect(m_lpMask, &QLineEdit::textEdited, this, &AccessListEditor::OnEdited);
  connect(m_lpAllow, &QRadioButton::clicked, this, [this] { OnDenyClicked(false); });
  connect(m_lpDeny, &QRadioButton::clicked, this, [this] { OnDenyClicked(true); });
  EnterIdle();
}

void AccessListEditor::Load(const AccessList& list) {
  m_list = list;
  m_lpLines->clear();
  for (const auto& [dwAddress, dwMask] : m_list.Entries()) m_lpLines->addItem(LineOf({dwAddress, dwMask}));
  (m_list.Deny() ? m_lpDeny : m_lpAllow)->setChecked(true);
  EnterIdle();
}

int AccessListEditor::SelectedRow() const {
  const QList<QListWidgetItem*> selected = m_lpLines->selectedItems();
  return selected.isEmpty() ? -1 : m_lpLines->row(selected.front());
}

int AccessListEditor::RowOf(uint32_t dwAddress) const {
  const QString sPrefix = AddressText(dwAddress) + ':';
  for (int nRow = 0; nRow < m_lpLines->count(); ++nRow) {
    if (m_lpLines->item(nRow)->text().startsWith(sPrefix)) return nRow;
  }
  return -1;
}

std::optional<AddressMask> AccessListEditor::TypedEntry() const {
  std::optional<uint32_t> dwAddress = ParseAddressText(m_lpAddress->text());
  std::optional<uint32_t> dwMask = ParseAddressText(m_lpMask->text());
  if (!dwAddress || !dwMask) return std::nullopt;
  return AddressMask{*dwAddress, *dwMask};
}

void AccessListEditor::EnterIdle() {
  m_bAdding = false;
  m_lpLines->clearSelection();
  m_lpAddress->clear();
  m_lpMask->clear();
  m_lpAddress->setEnabled(false);
  m_lpMask->setEnabled(false);
  m_lpDel->setEnabled(false);
  m_lpNew->setText(kNewText);
  m_lpNew->setEnabled(true);
}

void AccessListEditor::EnterAdding() {
  m_lpLines->clearSelection();
  m_bAdding = true;
  m_lpAddress->clear();
  m_lpMask->clear();
  m_lpAddress->setEnabled(true);
  m_lpMask->setEnabled(true);
  m_lpNew->setText(kAddText);
  m_lpNew->setEnabled(false);  // until both edits hold addresses
  m_lpAddress->setFocus();
}

void AccessListEditor::OnSelectionChanged() {
  const int nRow = SelectedRow();
  if (nRow < 0) {
    if (m_bAdding) return;  // entering adding mode clears the selection on purpose
    m_lpAddress->clear();
    m_lpMask->clear();
    m_lpAddress->setEnabled(false);
    m_lpMask->setEnabled(false);
    m_lpDel->setEnabled(false);
    return;
  }
  const QString sLine = m_lpLines->item(nRow)->text();
  const qsizetype nColon = sLine.indexOf(':');
  m_lpAddress->setText(sLine.left(nColon));
  m_lpMask->setText(sLine.mid(nColon + 1));
  m_lpAddress->setEnabled(true);
  m_lpMask->setEnabled(true);
  m_lpDel->setEnabled(true);
  m_bAdding = false;
  m_lpNew->setText(kNewText);
  m_lpNew->setEnabled(true);
}

void AccessListEditor::OnNewOrAdd() {
  if (!m_bAdding) {
    EnterAdding();
    return;
  }
  const std::optional<AddressMask> entry = TypedEntry();
  EnterIdle();
  if (entry) Add(*entry);
}

void AccessListEditor::Add(const AddressMask& entry) {
  const auto it = m_list.Entries().find(entry.m_dwAddress);
  if (it != m_list.Entries().end() && it->second == entry.m_dwMask) return;  // already there as it is
  const int nRow = RowOf(entry.m_dwAddress);
  m_list.Add(entry);
  if (nRow >= 0) {
    m_lpLines->item(nRow)->setText(LineOf(entry));
  } else {
    m_lpLines->addItem(LineOf(entry));
  }
  emit modified();
}

void AccessListEditor::OnDel() {
  const int nRow = SelectedRow();
  if (nRow < 0) return;
  const QString sLine = m_lpLines->item(nRow)->text();
  const std::optional<uint32_t> dwAddress = ParseAddressText(sLine.left(sLine.indexOf(':')));
  delete m_lpLines->takeItem(nRow);
  EnterIdle();
  if (dwAddress && m_list.Entries().count(*dwAddress)) {
    m_list.Remove(*dwAddress);
    emit modified();
  }
}

void AccessListEditor::OnEdited() {
  const int nRow = SelectedRow();
  if (nRow < 0) {
    if (m_bAdding) m_lpNew->setEnabled(TypedEntry().has_value());
    return;
  }
  // Editing a selected line changes that entry in place, once the text reads as an entry that
  // is not listed already. An address that another line holds is left alone: taking it would
  // leave two lines for one entry of the set.
  const std::optional<AddressMask> entry = TypedEntry();
  if (!entry) return;
  const QString sLine = LineOf(*entry);
  if (!m_lpLines->findItems(sLine, Qt::MatchExactly).isEmpty()) return;
  const int nOwner = RowOf(entry->m_dwAddress);
  if (nOwner >= 0 && nOwner != nRow) return;
  const QString sOld = m_lpLines->item(nRow)->text();
  if (std::optional<uint32_t> dwOld = ParseAddressText(sOld.left(sOld.indexOf(':')))) m_list.Remove(*dwOld);
  m_list.Add(*entry);
  m_lpLines->item(nRow)->setText(sLine);
  emit modified();
}

void AccessListEditor::OnDenyClicked(bool bDeny) {
  if (m_list.Deny() == bDeny) return;
  m_list.SetDeny(bDeny);
  emit modified();
}

}  // namespace harbix::manager
