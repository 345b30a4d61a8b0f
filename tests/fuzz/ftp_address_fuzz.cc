// The address of a PORT command or a 227 reply: whatever is read back writes the same text.
#include <cstdlib>

#include "engine/proxies/FtpSession.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const std::string_view sText(reinterpret_cast<const char*>(lpData), cbData);
  const std::optional<ftp::HostPort> address = ftp::ParseHostPort(sText);
  if (!address) return 0;
  if (address->m_wPort == 0) std::abort();
  const std::string sWritten = ftp::FormatHostPort(address->m_dwIp, address->m_wPort);
  const std::optional<ftp::HostPort> again = ftp::ParseHostPort(sWritten);
  if (!again || again->m_dwIp != address->m_dwIp || again->m_wPort != address->m_wPort) std::abort();
  return 0;
}
