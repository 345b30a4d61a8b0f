#include "common/GeneralConfig.h"

#include <algorithm>
#include <optional>

#include "common/KeyReader.h"

namespace harbix {
namespace {
constexpr const char* kGeneralKey = "General";
constexpr int32_t kMaxRefreshRate = 60;
}  // namespace

GeneralConfig ReadGeneralConfig() { return ParseGeneralConfig(ReadManagerKey(kGeneralKey)); }

GeneralConfig ParseGeneralConfig(const KeyReader& reader) {
  GeneralConfig config;
  if (reader.Number("Max Connections", &config.m_nMaxConnections)) {
    config.m_nMaxConnections = std::clamp(config.m_nMaxConnections, 0, kMaxConnectionsLimit);
  }
  if (reader.Number("Process Priority", &config.m_nProcessPriority)) {
    switch (config.m_nProcessPriority) {
      case kPriorityNormal:
      case kPriorityIdle:
      case kPriorityHigh:
      case kPriorityRealtime:
        break;
      default:
        config.m_nProcessPriority = kPriorityNormal;
    }
  }
  if (reader.Number("Refresh Rate", &config.m_nRefreshRate)) {
    config.m_nRefreshRate = std::clamp(config.m_nRefreshRate, 1, kMaxRefreshRate);
  }
  reader.Flag("No Refresh", &config.m_bNoRefresh);
  return config;
}

void WriteGeneralConfig(const GeneralConfig& config) {
  std::optional<KeyWriter> writer = WriteManagerKey(kGeneralKey);
  if (!writer) return;
  writer->Number("Max Connections", config.m_nMaxConnections);
  writer->Number("Process Priority", config.m_nProcessPriority);
  writer->Number("Refresh Rate", config.m_nRefreshRate);
  writer->Flag("No Refresh", config.m_bNoRefresh);
}

}  // namespace harbix
