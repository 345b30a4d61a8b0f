#include "manager/AddressText.h"

#include "common/AccessList.h"

namespace harbix::manager {

std::optional<uint32_t> ParseAddressText(std::string_view sText) {
  uint32_t dwAddress = 0;
  size_t nPos = 0;
  for (int nPart = 0; nPart < 4; ++nPart) {
    if (nPart > 0) {
      if (nPos >= sText.size() || sText[nPos] != '.') return std::nullopt;
      ++nPos;
    }
    unsigned nValue = 0;
    size_t nDigits = 0;
    while (nPos < sText.size() && sText[nPos] >= '0' && sText[nPos] <= '9' && nDigits < 4) {
      nValue = nValue * 10 + static_cast<unsigned>(sText[nPos] - '0');
      ++nPos;
      ++nDigits;
    }
    if (nDigits == 0 || nValue > 255) return std::nullopt;
    dwAddress |= nValue << (8 * nPart);
  }
  if (nPos != sText.size() || dwAddress == kNoAddress) return std::nullopt;
  return dwAddress;
}

std::optional<uint32_t> ParseAddressText(const QString& sText) { return ParseAddressText(sText.toStdString()); }

QString AddressText(uint32_t dwAddress) { return QString::fromStdString(FormatIp(dwAddress)); }

}  // namespace harbix::manager
