// The messages of the control channel between the manager and the engine (UDP on loopback,
// engine at 127.0.0.1:9999): version, type, payload length and payload, little-endian, and on
// the wire the whole message in the RegistryText encoding.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/RegistryText.h"

namespace harbix::control {

inline constexpr uint16_t kEnginePort = 9999;
inline constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network order
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kHeaderSize = 6;
// Both ends read at most this much of a datagram.
inline constexpr size_t kMaxDatagram = 8192;
// The most port maps an all-status reply lists: more would not fit kMaxDatagram once encoded.
inline constexpr size_t kMaxListedMaps = (kMaxDatagram / 5 - 44) / 8;

// Requests; a reply has the request's type with 0x80 set (hello's reply is a hello).
inline constexpr uint8_t kStatusAll = 0x00;
inline constexpr uint8_t kReloadGeneral = 0x01;
inline constexpr uint8_t kStartService = 0x10;  // + service number
inline constexpr uint8_t kReloadMaps = 0x1F;
inline constexpr uint8_t kServiceStatus = 0x20;  // + service number
inline constexpr uint8_t kMapStatus = 0x2F;
inline constexpr uint8_t kHello = 0xFE;
inline constexpr uint8_t kQuit = 0xFF;
inline constexpr uint8_t kReplyBit = 0x80;
inline constexpr uint8_t kMapEntryTag = 0x0F;

struct ControlMessage {
  uint8_t m_bType = 0;
  std::string m_sPayload;
};

// Whether a request type carries the client's cookie first in its payload.
bool NeedsCookie(uint8_t bType);

std::string Serialize(const ControlMessage& message);
// A message is valid when it is longer than 5 bytes, has version 1 and exactly L + 6 bytes.
std::optional<ControlMessage> Parse(std::string_view sBinary);
std::string EncodeDatagram(const ControlMessage& message, const RandomSource& random = ProcessRandom);
// Decodes the whole groups of five letters, then parses.
std::optional<ControlMessage> DecodeDatagram(std::string_view sWire);

// Little-endian fields.
void PutU16(std::string& sOut, uint16_t wValue);
void PutU32(std::string& sOut, uint32_t dwValue);
void PutU64(std::string& sOut, uint64_t qwValue);
uint16_t GetU16(std::string_view sIn, size_t nOffset);
uint32_t GetU32(std::string_view sIn, size_t nOffset);
uint64_t GetU64(std::string_view sIn, size_t nOffset);

// A statistics record: active sessions, bytes sent, bytes received (20 bytes).
struct Totals {
  uint32_t m_dwActive = 0;
  uint64_t m_qwSent = 0;
  uint64_t m_qwReceived = 0;
  Totals& operator+=(const Totals& other);
};
inline constexpr size_t kTotalsSize = 20;
void PutTotals(std::string& sOut, const Totals& totals);
Totals GetTotals(std::string_view sIn, size_t nOffset);

struct MapState {
  uint32_t m_dwBindIp = 0;
  uint16_t m_wBindPort = 0;
  uint8_t m_bStatus = 0;
};

// The all-status reply (0x80): totals over everything running, the connections since start,
// the status byte of the seven services and the running maps.
struct EngineStatus {
  Totals m_totals;
  int32_t m_nTotalConnections = 0;
  std::array<uint8_t, 7> m_abServices{};
  std::vector<MapState> m_vMaps;
};
std::string BuildEngineStatus(const EngineStatus& status);
std::optional<EngineStatus> ParseEngineStatus(std::string_view sPayload);

// The hello reply (0xFE): cookie and engine start time.
struct Hello {
  uint32_t m_dwCookie = 0;
  int32_t m_nStartTime = -1;
};

}  // namespace harbix::control
