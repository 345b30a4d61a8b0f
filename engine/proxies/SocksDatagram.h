// The header a SOCKS 5 UDP association puts before every datagram (RFC 1928, section 7): what
// the client sends names the destination, what it is sent names the remote host it came from.
// A remote datagram too large to carry whole behind the header is cut into fragments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Socket.h"

namespace harbix::socks {

inline constexpr size_t kDatagramHeader = 10;  // with an IPv4 address
inline constexpr uint8_t kLastFragment = 0x80;

struct ClientDatagram {
  uint32_t m_dwIp = 0;     // network order; 0 with a name
  std::string m_sName;
  uint16_t m_wPort = 0;    // host order
  std::string_view m_sPayload;
};

// A datagram from the client: nothing when it is too short, has an unknown address type, or is
// a fragment (reassembly is not offered; a fragment is dropped).
std::optional<ClientDatagram> ParseClientDatagram(std::string_view sDatagram);

// The datagrams that carry one from a remote host to the client, each at most cbMaxDatagram:
// one with FRAG 0 when it fits; otherwise fragments FRAG 1, 2, ..., the last with the high bit
// set (a payload that fills the fragments exactly is followed by a header alone). Empty when it
// cannot be carried (more fragments than FRAG can number).
std::vector<std::string> WrapRemoteDatagram(const SocketAddress& from, std::string_view sPayload, size_t cbMaxDatagram);

}  // namespace harbix::socks
