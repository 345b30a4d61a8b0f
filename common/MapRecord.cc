#include "common/MapRecord.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <optional>

#include "common/KeyReader.h"
#include "common/Text.h"

namespace harbix {
namespace {

constexpr const char* kMapCountKey = "MAP";
constexpr size_t kDestHostBuffer = 256;

std::string MapSubkey(uint32_t nIndex) { return "#" + std::to_string(nIndex) + ".MAP"; }

// "#<n>.MAP" with n spelled as "%u" spells it.
bool ParseMapSubkey(const std::string& sSubkey, uint32_t* pIndex) {
  constexpr std::string_view kSuffix = ".MAP";
  if (sSubkey.size() < 2 + kSuffix.size() || sSubkey[0] != '#') return false;
  std::string_view sDigits = std::string_view(sSubkey).substr(1, sSubkey.size() - 1 - kSuffix.size());
  std::string_view sTail = std::string_view(sSubkey).substr(sSubkey.size() - kSuffix.size());
  if (!std::equal(sTail.begin(), sTail.end(), kSuffix.begin(), kSuffix.end(),
                  [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; })) {
    return false;
  }
  return ParseIndex(sDigits, pIndex);
}

}  // namespace

MapRecord ParseMapRecord(const KeyReader& reader) {
  MapRecord record;
  reader.Dword("Bind IP", &record.m_dwBindIp);
  reader.Port("Bind Port", &record.m_wBindPort);
  std::string sHost;
  if (reader.Text("Dest Host", kDestHostBuffer, &sHost)) record.m_sDestHost = Trim(sHost);
  reader.Port("Dest Port", &record.m_wDestPort);
  reader.Flag("Run Service", &record.m_bRunService);
  reader.Flag("Use Threads", &record.m_bUseThreads);
  reader.Flag("Wait Reply", &record.m_bWaitReply);
  int32_t nType = 0;
  if (reader.Number("Service Type", &nType)) record.m_serviceType = static_cast<MapServiceType>(std::clamp(nType, 0, 2));
  LoadAccessList(reader, kMapList, &record.m_incoming);
  return record;
}

bool SameMapSettings(const MapRecord& running, const MapRecord& wanted) {
  return running.m_dwBindIp == wanted.m_dwBindIp && running.m_wBindPort == wanted.m_wBindPort &&
         EqualNoCase(running.m_sDestHost, wanted.m_sDestHost) && running.m_wDestPort == wanted.m_wDestPort &&
         running.m_bRunService == wanted.m_bRunService && running.m_bWaitReply == wanted.m_bWaitReply &&
         running.m_serviceType == wanted.m_serviceType && running.m_incoming == wanted.m_incoming;
}

std::string MapKeyPath(uint32_t nIndex) { return ManagerKeyPath(MapSubkey(nIndex)); }

std::vector<MapRecord> ReadMapRecords() {
  std::vector<MapRecord> vMaps;
  uint32_t nCount = 0;
  if (!ReadManagerKey(kMapCountKey).Dword("Maps Count", &nCount)) return vMaps;
  std::optional<RegistryKey> root = RegistryKey::Open(Hive::LocalMachine, kManagerRoot);
  if (!root) return vMaps;
  // Only keys that exist are read: a count beyond them (the store was edited by hand) must not
  // conjure maps of defaults, which would bind port 1 for a map nobody defined.
  std::vector<uint32_t> vIndexes;
  for (const std::string& sSubkey : root->SubKeys()) {
    uint32_t nIndex = 0;
    if (ParseMapSubkey(sSubkey, &nIndex) && nIndex < nCount) vIndexes.push_back(nIndex);
  }
  std::sort(vIndexes.begin(), vIndexes.end());
  for (uint32_t nIndex : vIndexes) vMaps.push_back(ParseMapRecord(ReadManagerKey(MapSubkey(nIndex))));
  return vMaps;
}

void WriteMapRecords(const std::vector<MapRecord>& vMaps) {
  if (std::optional<KeyWriter> countWriter = WriteManagerKey(kMapCountKey)) {
    countWriter->Dword("Maps Count", static_cast<uint32_t>(vMaps.size()));
  }
  for (uint32_t nIndex = 0; nIndex < vMaps.size(); ++nIndex) {
    const MapRecord& record = vMaps[nIndex];
    std::optional<KeyWriter> writer = WriteManagerKey(MapSubkey(nIndex));
    if (!writer) continue;
    writer->Dword("Bind IP", record.m_dwBindIp);
    writer->Port("Bind Port", record.m_wBindPort);
    writer->Text("Dest Host", record.m_sDestHost);
    writer->Port("Dest Port", record.m_wDestPort);
    writer->Flag("Run Service", record.m_bRunService);
    writer->Flag("Use Threads", record.m_bUseThreads);
    writer->Flag("Wait Reply", record.m_bWaitReply);
    writer->Number("Service Type", static_cast<int32_t>(record.m_serviceType));
    StoreAccessList(*writer, kMapList, record.m_incoming);
  }
}

}  // namespace harbix
