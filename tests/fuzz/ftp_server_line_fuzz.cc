// What an FTP server sends on the control connection: cut into lines under the cap, each read
// as the session reads it (the greeting, the 227 replies, everything else passed on).
#include <cstdlib>

#include "common/Text.h"
#include "engine/core/LineReader.h"
#include "engine/proxies/FtpSession.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  LineReader reader(ftp::kMaxLine);
  if (!reader.Take(std::string_view(reinterpret_cast<const char*>(lpData), cbData))) return 0;
  std::string sLine;
  while (reader.Next(&sLine)) {
    const std::string sTrimmed = Trim(sLine);
    if (sTrimmed.empty()) continue;
    const ftp::ServerReply reply = ftp::ReadServerLine(sTrimmed);
    if (reply.m_kind == ftp::ServerReply::Kind::kPassive) {
      if (reply.m_address.m_wPort == 0) std::abort();
      const std::string sOut = ftp::PassiveReply(reply, 0x0100007F, 0xFFFF);
      if (sOut.rfind("227 ", 0) != 0 || sOut.find("(127,0,0,1,255,255)") == std::string::npos) std::abort();
    }
    if (reply.m_kind == ftp::ServerReply::Kind::kForward && sTrimmed.rfind("220", 0) == 0 && sTrimmed.size() > 3 &&
        (sTrimmed[3] == ' ' || sTrimmed[3] == '-')) {
      std::abort();  // a greeting line is never passed on as it came
    }
  }
  return 0;
}
