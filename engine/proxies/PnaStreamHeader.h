// The parts of a PNA stream that name UDP ports. A player that asks for UDP delivery tells the
// server in its first bytes where to send datagrams: a 2-byte port at a known place, and,
// inside the stream header that begins with "PNA", a chunk of type 7 with a second one. The
// proxy puts its own ports there, so that the server sends to the proxy, and reads the server's
// answer for the server's second port. Nothing here touches a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harbix::pna {

// Where the client's ports stand in what it sends first (positions of 2-byte big-endian values).
struct ClientUdpPorts {
  size_t m_nFirstAt = 0;
  uint16_t m_wFirst = 0;
  std::optional<size_t> m_nSecondAt;  // when the stream header names a second port
  uint16_t m_wSecond = 0;
};

// The bytes at nOffset give the first port; nothing when they have not come. The stream header
// is looked for behind the first port's bytes as well as before them, never across them.
std::optional<ClientUdpPorts> FindClientUdpPorts(std::string_view sStream, size_t nOffset);
// Writes a port (big-endian) over the 2 bytes at nAt, which must be there.
void PutPort(std::string& sStream, size_t nAt, uint16_t wPort);

// The server's answer is judged once this much of it has come (or the stream ended).
inline constexpr size_t kServerAnswerHead = 16;
// The server's second UDP port, when its answer begins as one that names it.
std::optional<uint16_t> ServerSecondUdpPort(std::string_view sAnswer);

}  // namespace harbix::pna
