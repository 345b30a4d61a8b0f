#include "common/ServiceConfig.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "common/KeyReader.h"
#include "common/Text.h"
#include "common/RegistryText.h"
#include "platform/HarbixHome.h"

namespace harbix {
namespace {

constexpr std::array<ServiceTraits, kServiceCount> kServices = {{
    {ServiceId::Dns, "DNS", "DNS", 53, "DNS.LOG", false, true},
    {ServiceId::Ftp, "FTP", "FTP", 2121, "FTP.LOG", true, false},
    {ServiceId::Http, "HTTP", "HTTP", 8080, "HTTP.LOG", true, false},
    {ServiceId::Https, "HTTPS", "HTTPS", 2525, "HTTPS.LOG", true, false},
    {ServiceId::Pna, "PNA", "PNA", 1090, "PNA.LOG", true, false},
    {ServiceId::Socks, "SOCKS", "SOCKS", 1080, "SOCKS.LOG", true, false},
    {ServiceId::Telnet, "TNET", "TELNET", 23, "TNET.LOG", true, false},
}};

constexpr size_t kCacheDirBuffer = 260;  // 259 characters and the NUL
constexpr size_t kUserBuffer = 8192;
constexpr int32_t kMaxCacheUpdate = 720;

void ReadSocksUsers(const KeyReader& reader, SocksSettings* pSocks) {
  uint32_t nCount = 0;
  if (!reader.Dword("Users Count", &nCount)) return;
  for (const auto& [nIndex, lpValue] : reader.Numbered("USER ", nCount)) {
    (void)nIndex;
    if (lpValue->sData.size() > kUserBuffer) continue;
    std::optional<std::string> sText = DecodeRegistryText(lpValue->sData);
    if (!sText) continue;
    const size_t nTab = sText->find('\t');
    if (nTab == std::string::npos) continue;
    std::string sName = Trim(std::string_view(*sText).substr(0, nTab));
    std::string sPassword = Trim(std::string_view(*sText).substr(nTab + 1));
    if (sName.empty() || sPassword.empty()) continue;
    pSocks->m_users.emplace(std::move(sName), std::move(sPassword));  // the first entry of a name wins
  }
}

void ReadHttpCache(const KeyReader& reader, HttpCacheSettings* pHttp) {
  reader.Flag("No Cache", &pHttp->m_bNoCache);
  if (reader.Number("Cache Update", &pHttp->m_nCacheUpdate)) {
    pHttp->m_nCacheUpdate = std::clamp(pHttp->m_nCacheUpdate, 1, kMaxCacheUpdate);
  }
  if (reader.Number("Cache Size", &pHttp->m_nCacheSize)) pHttp->m_nCacheSize = std::max(pHttp->m_nCacheSize, 1);
  std::string sDir;
  if (reader.Text("Cache Dir", kCacheDirBuffer, &sDir)) {
    if (sDir.size() > 1 && sDir.back() == '/') sDir.pop_back();
    pHttp->m_sCacheDir = sDir;
  }
}

constexpr std::array<const char*, 2> kNameServerValues = {"Name Server 1", "Name Server 2"};
constexpr size_t kNameServerBuffer = 256;  // a name of 255 characters and the NUL

void ReadNameServers(const KeyReader& reader, DnsSettings* pDns) {
  for (size_t i = 0; i < kNameServerValues.size(); ++i) {
    std::string sName;
    if (reader.Text(kNameServerValues[i], kNameServerBuffer, &sName) && !Trim(sName).empty()) pDns->m_asNameServers[i] = Trim(sName);
  }
  reader.Dword("Name Server IP", &pDns->m_dwNameServerIp);
}

}  // namespace

const std::array<ServiceTraits, kServiceCount>& AllServices() { return kServices; }

const ServiceTraits& TraitsOf(ServiceId id) { return kServices[static_cast<size_t>(id)]; }

const ServiceTraits* FindService(const std::string& sKeyOrName) {
  for (const ServiceTraits& traits : kServices) {
    if (EqualNoCase(sKeyOrName, traits.m_lpKey) || EqualNoCase(sKeyOrName, traits.m_lpName)) return &traits;
  }
  return nullptr;
}

std::string DefaultCacheDir() { return platform::HarbixHome() + "/cache"; }

ServiceConfig::ServiceConfig(ServiceId id) : m_id(id), m_wBindPort(TraitsOf(id).m_wDefaultPort) {
  if (id == ServiceId::Http) m_http.m_sCacheDir = DefaultCacheDir();
}

ServiceConfig ReadServiceConfig(ServiceId id) { return ParseServiceConfig(id, ReadManagerKey(TraitsOf(id).m_lpKey)); }

ServiceConfig ParseServiceConfig(ServiceId id, const KeyReader& reader) {
  ServiceConfig config(id);
  reader.Dword("Bind IP", &config.m_dwBindIp);
  reader.Port("Bind Port", &config.m_wBindPort);
  reader.Flag("LOG Activity", &config.m_bLogActivity);
  reader.Flag("Run Service", &config.m_bRunService);
  if (id == ServiceId::Dns) {
    LoadAccessList(reader, kDnsList, &config.m_incoming);
    reader.Dword("DNS Server", &config.m_dns.m_dwDnsServer);
    reader.Flag("Forward Only", &config.m_dns.m_bForwardOnly);
    ReadNameServers(reader, &config.m_dns);
    return config;
  }
  reader.Flag("Use Threads", &config.m_bUseThreads);
  LoadAccessList(reader, kIncomingList, &config.m_incoming);
  LoadAccessList(reader, kOutgoingList, &config.m_outgoing);
  if (id == ServiceId::Http) ReadHttpCache(reader, &config.m_http);
  if (id == ServiceId::Socks) {
    reader.Flag("Allow Anonymous", &config.m_socks.m_bAllowAnonymous);
    if (reader.Number("Version Type", &config.m_socks.m_nVersionType)) {
      config.m_socks.m_nVersionType = std::clamp(config.m_socks.m_nVersionType, 0, 2);
    }
    ReadSocksUsers(reader, &config.m_socks);
  }
  return config;
}

bool ReadRunService(ServiceId id) {
  std::optional<RegistryKey> key = RegistryKey::Open(Hive::LocalMachine, ManagerKeyPath(TraitsOf(id).m_lpKey));
  if (!key) return true;
  bool bRun = true;
  KeyReader(*key).Flag("Run Service", &bRun);
  return bRun;
}

void WriteServiceConfig(const ServiceConfig& config) {
  std::optional<KeyWriter> writer = WriteManagerKey(TraitsOf(config.m_id).m_lpKey);
  if (!writer) return;
  writer->Dword("Bind IP", config.m_dwBindIp);
  writer->Port("Bind Port", config.m_wBindPort);
  writer->Flag("LOG Activity", config.m_bLogActivity);
  writer->Flag("Run Service", config.m_bRunService);
  if (config.m_id == ServiceId::Dns) {
    StoreAccessList(*writer, kDnsList, config.m_incoming);
    writer->Dword("DNS Server", config.m_dns.m_dwDnsServer);
    writer->Flag("Forward Only", config.m_dns.m_bForwardOnly);
    for (size_t i = 0; i < config.m_dns.m_asNameServers.size(); ++i) {
      writer->Text(kNameServerValues[i], config.m_dns.m_asNameServers[i]);
    }
    writer->Dword("Name Server IP", config.m_dns.m_dwNameServerIp);
    return;
  }
  writer->Flag("Use Threads", config.m_bUseThreads);
  StoreAccessList(*writer, kIncomingList, config.m_incoming);
  StoreAccessList(*writer, kOutgoingList, config.m_outgoing);
  if (config.m_id == ServiceId::Socks) writer->Number("Version Type", config.m_socks.m_nVersionType);
}

void WriteSocksUsers(const ServiceConfig& config) {
  std::optional<KeyWriter> writer = WriteManagerKey(TraitsOf(ServiceId::Socks).m_lpKey);
  if (!writer) return;
  writer->Flag("Allow Anonymous", config.m_socks.m_bAllowAnonymous);
  writer->Dword("Users Count", static_cast<uint32_t>(config.m_socks.m_users.size()));
  uint32_t nIndex = 0;
  for (const auto& [sName, sPassword] : config.m_socks.m_users) {
    writer->Bytes("USER " + std::to_string(nIndex++), EncodeRegistryText(sName + '\t' + sPassword));
  }
}

void WriteHttpCache(const ServiceConfig& config) {
  std::optional<KeyWriter> writer = WriteManagerKey(TraitsOf(ServiceId::Http).m_lpKey);
  if (!writer) return;
  writer->Flag("No Cache", config.m_http.m_bNoCache);
  writer->Number("Cache Update", config.m_http.m_nCacheUpdate);
  writer->Number("Cache Size", config.m_http.m_nCacheSize);
  writer->Text("Cache Dir", config.m_http.m_sCacheDir);
}

}  // namespace harbix
