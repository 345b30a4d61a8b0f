// harbixen: for now it opens the configuration store, reads every setting with its defaults and
// prints what it would run.
#include <cstdio>

#include "common/AccessList.h"
#include "common/GeneralConfig.h"
#include "common/MapRecord.h"
#include "common/ServiceConfig.h"

int main() {
  using namespace harbix;
  const GeneralConfig general = ReadGeneralConfig();
  std::printf("Max Connections %d, Process Priority %d\n", general.m_nMaxConnections, general.m_nProcessPriority);
  for (const ServiceTraits& traits : AllServices()) {
    const ServiceConfig config = ReadServiceConfig(traits.m_id);
    std::printf("%-6s %s on %s:%u%s%s\n", traits.m_lpName, config.m_bRunService ? "runs" : "off ",
                config.m_dwBindIp ? FormatIp(config.m_dwBindIp).c_str() : "*", config.m_wBindPort,
                config.m_bUseThreads ? ", a thread per client" : "", config.m_bLogActivity ? ", logging" : "");
  }
  for (const MapRecord& map : ReadMapRecords()) {
    std::printf("map    %s on %s:%u -> %s:%u\n", map.m_bRunService ? "runs" : "off ",
                map.m_dwBindIp ? FormatIp(map.m_dwBindIp).c_str() : "*", map.m_wBindPort, map.m_sDestHost.c_str(),
                map.m_wDestPort);
  }
  return 0;
}
