// How the manager and harbixctl put engine figures into words.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace harbix {

// "Running OK", "Shut Down", "PRB: IP/Port Already Used", ...; empty for codes that mean
// nothing.
std::string StatusText(uint8_t bStatus);

// "Total Sent Bytes: 1.50 KB" and the like: Bytes below 1 KB, then KB, MB, GB and TB with two
// truncated decimals.
std::string FormatByteCount(const std::string& sLabel, uint64_t qwBytes);
std::string FormatSentBytes(uint64_t qwBytes);
std::string FormatReceivedBytes(uint64_t qwBytes);
std::string FormatActiveConnections(uint32_t dwActive);

// The rows of the state list, by service number.
struct ServiceRowText {
  const char* m_lpName;
  const char* m_lpDescription;
};
const std::array<ServiceRowText, 7>& ServiceRows();

// "ANY_ADDRESS:5000" or "192.168.1.1:5000".
std::string MapRowName(uint32_t dwBindIp, uint16_t wBindPort);

}  // namespace harbix
