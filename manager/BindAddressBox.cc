#include "manager/BindAddressBox.h"

#include "manager/AddressText.h"
#include "manager/Controls.h"

namespace harbix::manager {

BindAddressBox::BindAddressBox(int nId, const std::vector<uint32_t>& vLocalAddresses, QWidget* lpParent)
    : QComboBox(lpParent) {
  Tag(this, nId);
  addItem(QStringLiteral("ANY ADDRESS"), 0u);
  for (uint32_t dwAddress : vLocalAddresses) {
    if (dwAddress != 0) addItem(AddressText(dwAddress), dwAddress);
  }
  connect(this, &QComboBox::activated, this, [this] { emit chosen(Selected()); });
}

void BindAddressBox::Show(uint32_t dwAddress) {
  const int nIndex = dwAddress == 0 ? 0 : findData(dwAddress);
  setCurrentIndex(nIndex < 0 ? 0 : nIndex);
}

uint32_t BindAddressBox::Selected() const { return currentData().toUInt(); }

}  // namespace harbix::manager
