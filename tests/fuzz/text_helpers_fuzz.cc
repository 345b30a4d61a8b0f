// The protocol-neutral text helpers: the header end, the dotted address, the port, the trims.
#include <cstdlib>

#include "common/AccessList.h"
#include "common/Text.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const std::string_view sText(reinterpret_cast<const char*>(lpData), cbData);
  if (const std::optional<HeaderEnd> end = FindHeaderEnd(sText)) {
    const std::string_view sTerminator = sText.substr(end->m_nPos, end->m_cbTerminator);
    if (sTerminator != "\n\n" && sTerminator != "\r\n\r\n") std::abort();
    // Nothing ends the header earlier.
    if (FindHeaderEnd(sText.substr(0, end->m_nPos + end->m_cbTerminator - 1))) std::abort();
  }
  if (const std::optional<uint32_t> dwIp = ParseDottedAddress(sText)) {
    if (ParseDottedAddress(FormatIp(*dwIp)) != dwIp) std::abort();
  }
  LeadingPort(sText);
  const std::string sTrimmed = Trim(sText);
  if (sTrimmed.size() > sText.size() || Trim(sTrimmed) != sTrimmed) std::abort();
  if (!EqualNoCase(sText, ToLower(sText))) std::abort();
  return 0;
}
