// What an FTP client sends on the control connection: cut into lines under the cap, each read
// as the session reads it before and after the login.
#include <cstdlib>

#include "common/Text.h"
#include "engine/core/LineReader.h"
#include "engine/proxies/FtpSession.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  LineReader reader(ftp::kMaxLine);
  const std::string_view sInput(reinterpret_cast<const char*>(lpData), cbData);
  bool bUserSeen = false;
  for (size_t n = 0; n < sInput.size(); n += 97) {
    if (!reader.Take(sInput.substr(n, 97))) break;
    if (reader.Buffered() > ftp::kMaxLine + 97) std::abort();
    std::string sLine;
    while (reader.Next(&sLine)) {
      if (sLine.size() > ftp::kMaxLine || sLine.find('\n') != std::string::npos) std::abort();
      const std::string sTrimmed = Trim(sLine);
      if (sTrimmed.empty()) continue;
      const ftp::ClientCommand command = ftp::ReadClientLine(sTrimmed, bUserSeen);
      if (command.m_kind == ftp::ClientCommand::Kind::kLogin) {
        bUserSeen = true;
        if (command.m_sLine.rfind("USER ", 0) != 0 || command.m_sHost.find(':') != std::string::npos) std::abort();
      }
      if (command.m_kind == ftp::ClientCommand::Kind::kPort && command.m_address.m_wPort == 0) std::abort();
      if (command.m_kind == ftp::ClientCommand::Kind::kForward && command.m_sLine != sTrimmed) std::abort();
    }
  }
  return 0;
}
