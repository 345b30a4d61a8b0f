// The listening-address list of the service and port-map pages: "ANY ADDRESS", then every
// non-zero address of the host.
#pragma once

#include <QComboBox>

#include <cstdint>
#include <vector>

namespace harbix::manager {

class BindAddressBox : public QComboBox {
  Q_OBJECT

 public:
  BindAddressBox(int nId, const std::vector<uint32_t>& vLocalAddresses, QWidget* lpParent = nullptr);

  // Selects the address; one the host does not have leaves "ANY ADDRESS" selected (the caller
  // keeps the stored value).
  void Show(uint32_t dwAddress);
  // The address of the selected entry: 0 for "ANY ADDRESS".
  uint32_t Selected() const;

 signals:
  // The user chose an entry.
  void chosen(uint32_t dwAddress);
};

}  // namespace harbix::manager
