// The settings readers over whatever the store may hold: any value of any type and width under
// the names the readers look for, and the numbered entries of the lists.
#include <cstdlib>

#include "common/GeneralConfig.h"
#include "common/KeyReader.h"
#include "common/MapRecord.h"
#include "common/ServiceConfig.h"
#include "platform/Registry.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

namespace {

const char* const kNames[] = {
    "Bind IP", "Bind Port", "LOG Activity", "Run Service", "Use Threads", "Deny Incoming", "Deny Outgoing",
    "Incoming IP Count", "Incoming IP 0", "Incoming IP 1", "Incoming IP 4294967295", "Outgoing IP Count", "Outgoing IP 0",
    "IP Count", "IP 0", "IP 7", "DNS Server", "Forward Only", "Allow Anonymous", "Version Type", "Users Count", "USER 0",
    "USER 1", "Cache Dir", "Cache Size", "Cache Update", "Use Cache", "Dest Host", "Dest Port", "Wait Reply",
    "Service Type", "Max Connections", "Process Priority", "Refresh Rate", "No Refresh", "Maps Count"};
const uint32_t kTypes[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_NONE, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  std::vector<RegistryValue> vValues;
  while (!input.Empty() && vValues.size() < 64) {
    RegistryValue value;
    const uint8_t bName = input.Byte();
    value.sName = bName < 2 * std::size(kNames) ? kNames[bName % std::size(kNames)] : std::string(input.Piece(40));
    value.dwType = kTypes[input.Byte() % std::size(kTypes)];
    value.sData = std::string(input.Piece(input.Byte() & 1 ? 8 : 600));
    vValues.push_back(std::move(value));
  }
  const KeyReader reader(std::move(vValues));
  for (const ServiceTraits& traits : AllServices()) {
    const ServiceConfig config = ParseServiceConfig(traits.m_id, reader);
    if (config.m_socks.m_nVersionType < 0 || config.m_socks.m_nVersionType > 2) std::abort();
  }
  const GeneralConfig general = ParseGeneralConfig(reader);
  if (general.m_nMaxConnections < 0 || general.m_nMaxConnections > kMaxConnectionsLimit) std::abort();
  const MapRecord map = ParseMapRecord(reader);
  if (map.m_sDestHost.size() >= 256 || static_cast<int>(map.m_serviceType) < 0 || static_cast<int>(map.m_serviceType) > 2) std::abort();
  return 0;
}
