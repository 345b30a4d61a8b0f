// A datagram on a forwarding socket of the DNS proxy, from any address, for a request of any ID:
// only a response from the server the request went to, with its ID, goes back to the client, and
// then as its first 512 bytes (TC set when cut), otherwise unchanged.
#include <cstdlib>

#include "engine/relay/DnsForwardTable.h"
#include "engine/relay/DnsMessage.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  DnsForwardTable::Row row;
  row.m_wId = input.U16();
  row.m_upstream = {input.Byte() & 1 ? 0x0200007Fu : input.U32(), 53};
  const SocketAddress from{input.Byte() & 1 ? row.m_upstream.m_dwIp : input.U32(), input.Byte() & 1 ? uint16_t{53} : input.U16()};
  const std::string_view sDatagram = input.Rest();
  const std::optional<std::string> sAnswer = DnsForwardTable::RelayedAnswer(row, from, sDatagram);
  const bool bFromServer = from.m_dwIp == row.m_upstream.m_dwIp && from.m_wPort == row.m_upstream.m_wPort;
  if (!sAnswer) {
    if (bFromServer && sDatagram.size() >= dns::kHeaderSize && dns::IsResponse(sDatagram) && dns::Id(sDatagram) == row.m_wId) std::abort();
    return 0;
  }
  if (!bFromServer || dns::Id(*sAnswer) != row.m_wId || sAnswer->size() != std::min(sDatagram.size(), dns::kMaxReply)) std::abort();
  const uint8_t bFlags = static_cast<uint8_t>((*sAnswer)[2]);
  const uint8_t bSentFlags = static_cast<uint8_t>(sDatagram[2]);
  if (sDatagram.size() > dns::kMaxReply ? bFlags != (bSentFlags | 0x02) : bFlags != bSentFlags) std::abort();
  if (sAnswer->substr(3) != sDatagram.substr(3, sAnswer->size() - 3)) std::abort();
  return 0;
}
