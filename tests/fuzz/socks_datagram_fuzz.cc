// A datagram from a SOCKS client's UDP association, and a remote datagram wrapped for the client
// under a maximum size the input chooses: the parsed payload is the datagram's tail, and the
// wrapped pieces fit the maximum, are numbered in order and carry the payload whole.
#include <cstdlib>

#include "engine/proxies/SocksDatagram.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const size_t cbMax = input.U16() % 2048;
  const SocketAddress from{input.U32(), input.U16()};
  const std::string_view sDatagram = input.Rest();
  if (const std::optional<socks::ClientDatagram> datagram = socks::ParseClientDatagram(sDatagram)) {
    if (sDatagram[2] != 0) std::abort();
    const std::string_view sPayload = datagram->m_sPayload;
    if (sPayload.data() + sPayload.size() != sDatagram.data() + sDatagram.size()) std::abort();
    if (datagram->m_sName.empty() == (sDatagram[3] == 3)) std::abort();
  }
  const std::vector<std::string> vPieces = socks::WrapRemoteDatagram(from, sDatagram, cbMax);
  if (vPieces.empty()) {
    // Only when no piece has room, or FRAG cannot number them all.
    if (cbMax > socks::kDatagramHeader && sDatagram.size() / (cbMax - socks::kDatagramHeader) + 1 < socks::kLastFragment) std::abort();
    return 0;
  }
  std::string sJoined;
  for (size_t i = 0; i < vPieces.size(); ++i) {
    const std::string& s = vPieces[i];
    if (s.size() > cbMax || s.size() < socks::kDatagramHeader) std::abort();
    const uint8_t bFrag = static_cast<uint8_t>(s[2]);
    const uint8_t bWanted = vPieces.size() == 1 ? 0 : static_cast<uint8_t>((i + 1) | (i + 1 == vPieces.size() ? 0x80 : 0));
    if (bFrag != bWanted) std::abort();
    sJoined += s.substr(socks::kDatagramHeader);
  }
  if (sJoined != sDatagram) std::abort();
  return 0;
}
