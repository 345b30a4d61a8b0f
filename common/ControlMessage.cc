#include "common/ControlMessage.h"

namespace harbix::control {
namespace {
constexpr size_t kServicePairs = 7;
constexpr size_t kMapEntrySize = 8;
constexpr size_t kEngineStatusFixed = kTotalsSize + 4 + 2 * kServicePairs;
}  // namespace

bool NeedsCookie(uint8_t bType) { return bType != kHello && bType != kReloadMaps; }

std::string Serialize(const ControlMessage& message) {
  std::string sOut;
  sOut.push_back(static_cast<char>(kVersion));
  sOut.push_back(static_cast<char>(message.m_bType));
  PutU32(sOut, static_cast<uint32_t>(message.m_sPayload.size()));
  sOut += message.m_sPayload;
  return sOut;
}

std::optional<ControlMessage> Parse(std::string_view sBinary) {
  if (sBinary.size() < kHeaderSize || static_cast<uint8_t>(sBinary[0]) != kVersion) return std::nullopt;
  const uint64_t qwLength = GetU32(sBinary, 2);
  if (qwLength + kHeaderSize != sBinary.size()) return std::nullopt;
  return ControlMessage{static_cast<uint8_t>(sBinary[1]), std::string(sBinary.substr(kHeaderSize))};
}

std::string EncodeDatagram(const ControlMessage& message, const RandomSource& random) {
  return EncodeRegistryText(Serialize(message), random);
}

std::optional<ControlMessage> DecodeDatagram(std::string_view sWire) {
  std::optional<std::string> sBinary = DecodeRegistryText(sWire);
  if (!sBinary) return std::nullopt;
  return Parse(*sBinary);
}

void PutU16(std::string& sOut, uint16_t wValue) {
  for (int i = 0; i < 2; ++i) sOut.push_back(static_cast<char>(wValue >> (8 * i)));
}
void PutU32(std::string& sOut, uint32_t dwValue) {
  for (int i = 0; i < 4; ++i) sOut.push_back(static_cast<char>(dwValue >> (8 * i)));
}
void PutU64(std::string& sOut, uint64_t qwValue) {
  for (int i = 0; i < 8; ++i) sOut.push_back(static_cast<char>(qwValue >> (8 * i)));
}
uint16_t GetU16(std::string_view sIn, size_t nOffset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(sIn[nOffset]) | static_cast<uint8_t>(sIn[nOffset + 1]) << 8);
}
uint32_t GetU32(std::string_view sIn, size_t nOffset) {
  uint32_t dwValue = 0;
  for (int i = 3; i >= 0; --i) dwValue = (dwValue << 8) | static_cast<uint8_t>(sIn[nOffset + static_cast<size_t>(i)]);
  return dwValue;
}
uint64_t GetU64(std::string_view sIn, size_t nOffset) {
  return GetU32(sIn, nOffset) | static_cast<uint64_t>(GetU32(sIn, nOffset + 4)) << 32;
}

Totals& Totals::operator+=(const Totals& other) {
  m_dwActive += other.m_dwActive;
  m_qwSent += other.m_qwSent;
  m_qwReceived += other.m_qwReceived;
  return *this;
}

void PutTotals(std::string& sOut, const Totals& totals) {
  PutU32(sOut, totals.m_dwActive);
  PutU64(sOut, totals.m_qwSent);
  PutU64(sOut, totals.m_qwReceived);
}

Totals GetTotals(std::string_view sIn, size_t nOffset) {
  return Totals{GetU32(sIn, nOffset), GetU64(sIn, nOffset + 4), GetU64(sIn, nOffset + 12)};
}

std::string BuildEngineStatus(const EngineStatus& status) {
  std::string sPayload;
  PutTotals(sPayload, status.m_totals);
  PutU32(sPayload, static_cast<uint32_t>(status.m_nTotalConnections));
  for (size_t n = 0; n < kServicePairs; ++n) {
    sPayload.push_back(static_cast<char>(n));
    sPayload.push_back(static_cast<char>(status.m_abServices[n]));
  }
  for (size_t i = 0; i < status.m_vMaps.size() && i < kMaxListedMaps; ++i) {
    const MapState& map = status.m_vMaps[i];
    sPayload.push_back(static_cast<char>(kMapEntryTag));
    PutU32(sPayload, map.m_dwBindIp);
    PutU16(sPayload, map.m_wBindPort);
    sPayload.push_back(static_cast<char>(map.m_bStatus));
  }
  return sPayload;
}

std::optional<EngineStatus> ParseEngineStatus(std::string_view sPayload) {
  if (sPayload.size() < kEngineStatusFixed) return std::nullopt;
  EngineStatus status;
  status.m_totals = GetTotals(sPayload, 0);
  status.m_nTotalConnections = static_cast<int32_t>(GetU32(sPayload, kTotalsSize));
  // The state list: an index and a state each; index 15 is a map, with its address and port
  // between the two.
  size_t nPos = kTotalsSize + 4;
  while (nPos + 2 <= sPayload.size()) {
    const uint8_t bIndex = static_cast<uint8_t>(sPayload[nPos]);
    if (bIndex == kMapEntryTag) {
      if (nPos + kMapEntrySize > sPayload.size()) break;
      status.m_vMaps.push_back(MapState{GetU32(sPayload, nPos + 1), GetU16(sPayload, nPos + 5),
                                        static_cast<uint8_t>(sPayload[nPos + 7])});
      nPos += kMapEntrySize;
      continue;
    }
    if (bIndex < kServicePairs) status.m_abServices[bIndex] = static_cast<uint8_t>(sPayload[nPos + 1]);
    nPos += 2;
  }
  return status;
}

}  // namespace harbix::control
