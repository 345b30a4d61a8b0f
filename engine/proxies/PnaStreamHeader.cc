#include "engine/proxies/PnaStreamHeader.h"

namespace harbix::pna {

namespace {

constexpr std::string_view kMagic = "PNA";
constexpr size_t kMinStreamHeader = 9;
// The chunks of the stream header: a 2-byte type and a 2-byte length of the value, then the value.
constexpr size_t kFirstChunk = 5;
constexpr size_t kChunkHead = 4;
constexpr uint16_t kUdpPortChunk = 7;
constexpr size_t kPortBytes = 2;
// The answer that names the server's second port.
constexpr size_t kAnswerTagAt = 9;
constexpr char kAnswerTag = 'O';
constexpr size_t kAnswerCodesAt = 10;
constexpr uint16_t kAnswerFirstCode = 8;
constexpr uint16_t kAnswerSecondCode = 7;
constexpr size_t kAnswerPortAt = 14;

uint16_t U16At(std::string_view s, size_t n) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[n]) << 8 | static_cast<uint8_t>(s[n + 1]));
}

// The value position of the type-7 chunk of the stream header at nStart (its chunks as far as
// they have come).
std::optional<size_t> SecondPortIn(std::string_view sStream, size_t nStart, size_t nEnd) {
  for (size_t nChunk = nStart + kFirstChunk; nChunk + kChunkHead <= nEnd;) {
    const uint16_t wType = U16At(sStream, nChunk);
    const size_t cbValue = U16At(sStream, nChunk + 2);
    const size_t nValue = nChunk + kChunkHead;
    if (wType == kUdpPortChunk && cbValue == kPortBytes) {
      if (nValue + kPortBytes <= nEnd) return nValue;
      return std::nullopt;
    }
    nChunk = nValue + cbValue;
  }
  return std::nullopt;
}

// The stream header within [nFrom, nEnd), if there is one long enough.
std::optional<size_t> SecondPortBetween(std::string_view sStream, size_t nFrom, size_t nEnd) {
  const std::string_view sPart = sStream.substr(0, nEnd);
  const size_t nMagic = sPart.find(kMagic, nFrom);
  if (nMagic == std::string_view::npos || nMagic + kMinStreamHeader > nEnd) return std::nullopt;
  return SecondPortIn(sStream, nMagic, nEnd);
}

}  // namespace

std::optional<ClientUdpPorts> FindClientUdpPorts(std::string_view sStream, size_t nOffset) {
  if (nOffset > sStream.size() || sStream.size() - nOffset < kPortBytes) return std::nullopt;
  ClientUdpPorts ports;
  ports.m_nFirstAt = nOffset;
  ports.m_wFirst = U16At(sStream, nOffset);
  ports.m_nSecondAt = SecondPortBetween(sStream, 0, nOffset);
  if (!ports.m_nSecondAt) ports.m_nSecondAt = SecondPortBetween(sStream, nOffset + kPortBytes, sStream.size());
  if (ports.m_nSecondAt) ports.m_wSecond = U16At(sStream, *ports.m_nSecondAt);
  return ports;
}

void PutPort(std::string& sStream, size_t nAt, uint16_t wPort) {
  sStream[nAt] = static_cast<char>(wPort >> 8);
  sStream[nAt + 1] = static_cast<char>(wPort & 0xFF);
}

std::optional<uint16_t> ServerSecondUdpPort(std::string_view sAnswer) {
  if (sAnswer.size() < kServerAnswerHead || sAnswer.substr(0, kMagic.size()) != kMagic || sAnswer[kAnswerTagAt] != kAnswerTag ||
      U16At(sAnswer, kAnswerCodesAt) != kAnswerFirstCode || U16At(sAnswer, kAnswerCodesAt + 2) != kAnswerSecondCode) {
    return std::nullopt;
  }
  return U16At(sAnswer, kAnswerPortAt);
}

}  // namespace harbix::pna
