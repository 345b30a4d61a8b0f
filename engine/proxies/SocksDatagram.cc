#include "engine/proxies/SocksDatagram.h"

#include <algorithm>
#include <cstring>

namespace harbix::socks {

namespace {
constexpr uint8_t kAddressIpv4 = 1;
constexpr uint8_t kAddressName = 3;
uint8_t At(std::string_view s, size_t n) { return static_cast<uint8_t>(s[n]); }
}  // namespace

std::optional<ClientDatagram> ParseClientDatagram(std::string_view sDatagram) {
  if (sDatagram.size() < 4 || At(sDatagram, 2) != 0) return std::nullopt;
  ClientDatagram datagram;
  size_t nPayload = 0;
  switch (At(sDatagram, 3)) {
    case kAddressIpv4:
      if (sDatagram.size() < kDatagramHeader) return std::nullopt;
      std::memcpy(&datagram.m_dwIp, sDatagram.data() + 4, sizeof datagram.m_dwIp);
      datagram.m_wPort = static_cast<uint16_t>(At(sDatagram, 8) << 8 | At(sDatagram, 9));
      nPayload = kDatagramHeader;
      break;
    case kAddressName: {
      if (sDatagram.size() < 7) return std::nullopt;
      const size_t cbName = At(sDatagram, 4);
      if (sDatagram.size() < cbName + 7) return std::nullopt;
      datagram.m_sName = std::string(sDatagram.substr(5, cbName));
      // A name with a zero byte would be looked up as another, shorter one.
      if (datagram.m_sName.empty() || datagram.m_sName.find('\0') != std::string::npos) return std::nullopt;
      datagram.m_wPort = static_cast<uint16_t>(At(sDatagram, 5 + cbName) << 8 | At(sDatagram, 6 + cbName));
      nPayload = cbName + 7;
      break;
    }
    default: return std::nullopt;
  }
  datagram.m_sPayload = sDatagram.substr(nPayload);
  return datagram;
}

std::vector<std::string> WrapRemoteDatagram(const SocketAddress& from, std::string_view sPayload, size_t cbMaxDatagram) {
  std::vector<std::string> vDatagrams;
  if (cbMaxDatagram <= kDatagramHeader) return vDatagrams;
  char header[kDatagramHeader] = {0, 0, 0, char(kAddressIpv4)};
  std::memcpy(header + 4, &from.m_dwIp, 4);
  header[8] = char(from.m_wPort >> 8);
  header[9] = char(from.m_wPort & 0xFF);
  if (sPayload.size() + kDatagramHeader <= cbMaxDatagram) {
    vDatagrams.emplace_back(header, sizeof header).append(sPayload);
    return vDatagrams;
  }
  const size_t cbPiece = cbMaxDatagram - kDatagramHeader;
  const size_t nFragments = sPayload.size() / cbPiece + 1;
  if (nFragments >= kLastFragment) return vDatagrams;
  vDatagrams.reserve(nFragments);
  for (size_t i = 1; i <= nFragments; ++i) {
    header[2] = char(i == nFragments ? (i | kLastFragment) : i);
    vDatagrams.emplace_back(header, sizeof header).append(sPayload.substr(std::min(sPayload.size(), (i - 1) * cbPiece), cbPiece));
  }
  return vDatagrams;
}

}  // namespace harbix::socks
