// Port maps: the "MAP" key with the number of maps, and one key "#<n>.MAP" per map, a sibling
// of the service keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/AccessList.h"

namespace harbix {

enum class MapServiceType : int32_t { Tcp = 0, Udp = 1, TcpAndUdp = 2 };

struct MapRecord {
  uint32_t m_dwBindIp = 0;  // network order, 0 = every local address
  uint16_t m_wBindPort = 1;
  std::string m_sDestHost;  // name or dotted address, trimmed
  uint16_t m_wDestPort = 1;
  bool m_bRunService = true;
  bool m_bWaitReply = true;
  MapServiceType m_serviceType = MapServiceType::TcpAndUdp;
  bool m_bUseThreads = true;
  AccessList m_incoming{false};  // an allow list by default: a new map admits nobody

  bool operator==(const MapRecord&) const = default;
};

// Whether a running map can stay as it is when the store now says `wanted`: everything but
// Use Threads is equal, the destination host compared without regard to case.
bool SameMapSettings(const MapRecord& running, const MapRecord& wanted);

// "Software\Quillbay\Harbix\Manager\#<n>.MAP".
std::string MapKeyPath(uint32_t nIndex);

// The maps 0 .. "Maps Count" - 1; none when the count cannot be read. Keys above the count are
// ignored.
std::vector<MapRecord> ReadMapRecords();
// One map from the values of its key in hand.
MapRecord ParseMapRecord(const KeyReader& reader);
// "Maps Count" and every map key; keys above the new count are left in place.
void WriteMapRecords(const std::vector<MapRecord>& vMaps);

}  // namespace harbix
