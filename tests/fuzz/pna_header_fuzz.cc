// A player's proxy header as the session reads it, in pieces as the network may deliver them,
// then the ports of the stream's first bytes replaced as the session does, and the server's
// answer read for its port. The header is decided by the cap at the latest, what follows it is
// exactly the tail of the piece, a host is never empty, too long or cut at a zero byte; the ports
// found lie inside the bytes and are found again, at the same places, after they were replaced.
#include <cstdlib>

#include "engine/proxies/PnaHeader.h"
#include "engine/proxies/PnaStreamHeader.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

namespace {

uint16_t PortAt(const std::string& s, size_t n) { return static_cast<uint16_t>(uint8_t(s[n]) << 8 | uint8_t(s[n + 1])); }

void CheckSubstitution(std::string sStream, size_t nOffset) {
  const std::optional<pna::ClientUdpPorts> ports = pna::FindClientUdpPorts(sStream, nOffset);
  if (!ports) {
    if (nOffset + 2 <= sStream.size()) std::abort();
    return;
  }
  if (ports->m_nFirstAt != nOffset || PortAt(sStream, nOffset) != ports->m_wFirst) std::abort();
  if (ports->m_nSecondAt) {
    const size_t nSecond = *ports->m_nSecondAt;
    if (nSecond + 2 > sStream.size() || PortAt(sStream, nSecond) != ports->m_wSecond) std::abort();
    if (nSecond + 2 > nOffset && nSecond < nOffset + 2) std::abort();  // never across the first port
    pna::PutPort(sStream, nSecond, 0xBEEF);
  }
  pna::PutPort(sStream, nOffset, 0xCAFE);
  const std::optional<pna::ClientUdpPorts> again = pna::FindClientUdpPorts(sStream, nOffset);
  if (!again || again->m_wFirst != 0xCAFE || again->m_nSecondAt != ports->m_nSecondAt) std::abort();
  if (again->m_nSecondAt && again->m_wSecond != 0xBEEF) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const size_t cbPiece = input.Byte() % 64 + 1;
  const size_t nOffset = input.Byte() % 32;
  const std::string_view sStream = input.Rest();
  PnaHeader header;
  size_t nPos = 0;
  PnaHeader::State state = PnaHeader::State::kReading;
  while (nPos < sStream.size() && state == PnaHeader::State::kReading) {
    const std::string_view sPiece = sStream.substr(nPos, cbPiece);
    nPos += sPiece.size();
    state = header.Feed(sPiece);
  }
  switch (state) {
    case PnaHeader::State::kReading:
      if (nPos > PnaHeader::kMaxHeader + 1) std::abort();
      break;
    case PnaHeader::State::kFailed:
      if (header.Error() < pna::kBadInfo || header.Error() > pna::kBadOpCode) std::abort();
      break;
    case PnaHeader::State::kComplete: {
      const std::string& sHost = header.Host();
      if (sHost.empty() || sHost.size() > PnaHeader::kMaxHost || sHost.find('\0') != std::string::npos) std::abort();
      const std::string sRest = header.TakeRest();
      if (sRest.size() >= cbPiece || sStream.substr(nPos - sRest.size(), sRest.size()) != sRest) std::abort();
      if (header.Feed("more") != state || !header.TakeRest().empty()) std::abort();
      break;
    }
  }
  CheckSubstitution(std::string(sStream), nOffset);
  if (const std::optional<uint16_t> wPort = pna::ServerSecondUdpPort(sStream)) {
    if (sStream.size() < pna::kServerAnswerHead || sStream.substr(0, 3) != "PNA" || PortAt(std::string(sStream), 14) != *wPort) std::abort();
  }
  return 0;
}
