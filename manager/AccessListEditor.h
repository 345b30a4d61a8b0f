// The editor of one access list, the same for every list of every page: the list's lines
// ("address:mask"), New/Add and Del, the address and mask edits, and the Allow/Deny choice.
#pragma once

#include <QGroupBox>
#include <QString>

#include "common/AccessList.h"
#include "manager/ControlIds.h"

class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace harbix::manager {

struct AccessListTexts {
  QString m_sTitle;  // "Restrictions (Incoming Connections):"
  QString m_sAllow;  // "Allow Only these IP"
  QString m_sDeny;   // "Deny Only these IP"
};

class AccessListEditor : public QGroupBox {
  Q_OBJECT

 public:
  AccessListEditor(const id::AccessListIds& ids, const AccessListTexts& texts, QWidget* lpParent = nullptr);

  // Shows a list: one line per entry, nothing selected, the editor idle.
  void Load(const AccessList& list);
  const AccessList& List() const { return m_list; }

 signals:
  // The list or its Deny flag changed.
  void modified();

 private:
  void OnSelectionChanged();
  void OnNewOrAdd();
  void OnDel();
  void OnEdited();
  void OnDenyClicked(bool bDeny);

  void Add(const AddressMask& entry);
  void EnterIdle();
  void EnterAdding();
  int SelectedRow() const;
  // The row whose line belongs to an address, -1 when none.
  int RowOf(uint32_t dwAddress) const;
  // Both edits hold valid addresses.
  std::optional<AddressMask> TypedEntry() const;

  AccessList m_list;
  bool m_bAdding = false;
  QListWidget* m_lpLines;
  QPushButton* m_lpNew;
  QPushButton* m_lpDel;
  QLineEdit* m_lpAddress;
  QLineEdit* m_lpMask;
  QRadioButton* m_lpAllow;
  QRadioButton* m_lpDeny;
};

}  // namespace harbix::manager
