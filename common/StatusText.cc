#include "common/StatusText.h"

#include <cstdio>

#include "common/AccessList.h"

namespace harbix {
namespace {

constexpr uint64_t kUnit = 1024;

std::string Scaled(const std::string& sLabel, uint64_t qwValue, const char* lpUnit) {
  char szText[96];
  std::snprintf(szText, sizeof szText, ": %llu.%02llu %s", static_cast<unsigned long long>(qwValue / kUnit),
                static_cast<unsigned long long>((qwValue % kUnit) * 100 / kUnit), lpUnit);
  return sLabel + szText;
}

}  // namespace

std::string StatusText(uint8_t bStatus) {
  switch (bStatus) {
    case 0: return "Shut Down";
    case 1: return "Running OK";
    case 252: return "PRB: Unable to map Dest Host";
    case 253: return "PRB: IP/Port Already Used";
    case 254: return "PRB: Memory Error";
    case 255: return "Initializing";
    default: return "";
  }
}

std::string FormatByteCount(const std::string& sLabel, uint64_t qwBytes) {
  if (qwBytes < kUnit) return sLabel + ": " + std::to_string(qwBytes) + " Bytes";
  if (qwBytes < kUnit * kUnit) return Scaled(sLabel, qwBytes, "KB");
  const uint64_t qwKilo = qwBytes / kUnit;
  if (qwKilo < kUnit * kUnit) return Scaled(sLabel, qwKilo, "MB");
  const uint64_t qwMega = qwKilo / kUnit;
  if (qwMega < kUnit * kUnit) return Scaled(sLabel, qwMega, "GB");
  return Scaled(sLabel, qwMega / kUnit, "TB");
}

std::string FormatSentBytes(uint64_t qwBytes) { return FormatByteCount("Total Sent Bytes", qwBytes); }
std::string FormatReceivedBytes(uint64_t qwBytes) { return FormatByteCount("Total Received Bytes", qwBytes); }
std::string FormatActiveConnections(uint32_t dwActive) { return "Total Active Connections: " + std::to_string(dwActive); }

const std::array<ServiceRowText, 7>& ServiceRows() {
  static const std::array<ServiceRowText, 7> kRows = {{
      {"DNS", "Domain Name Resolver"},
      {"FTP", "File Transfer Protocol"},
      {"HTTP", "HTTP with Cache Control"},
      {"HTTPS", "HTTP Secure Transfer"},
      {"PNA", "RealAudio Streaming"},
      {"SOCKS", "FireWall Server"},
      {"TELNET", "Remote Control"},
  }};
  return kRows;
}

std::string MapRowName(uint32_t dwBindIp, uint16_t wBindPort) {
  return (dwBindIp ? FormatIp(dwBindIp) : std::string("ANY_ADDRESS")) + ":" + std::to_string(wBindPort);
}

}  // namespace harbix
