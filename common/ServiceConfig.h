// The settings of the seven proxy services as they are kept in the configuration store, with
// one reader and one writer per key.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "common/AccessList.h"

namespace harbix {

// Service numbers, as the control channel and the manager count them.
enum class ServiceId : uint8_t { Dns = 0, Ftp = 1, Http = 2, Https = 3, Pna = 4, Socks = 5, Telnet = 6 };
inline constexpr int kServiceCount = 7;

struct ServiceTraits {
  ServiceId m_id;
  const char* m_lpKey;      // sub-key under the manager root, e.g. "TNET"
  const char* m_lpName;     // what administrators call it, e.g. "TELNET"
  uint16_t m_wDefaultPort;
  const char* m_lpLogFile;  // e.g. "TNET.LOG"
  bool m_bOutgoingList;     // makes outgoing connections, so it has an outgoing list
  bool m_bUdp;              // a datagram service with no accept loop
};

const ServiceTraits& TraitsOf(ServiceId id);
const std::array<ServiceTraits, kServiceCount>& AllServices();
// By key ("TNET") or by name ("TELNET"), without regard to case; nullptr when unknown.
const ServiceTraits* FindService(const std::string& sKeyOrName);

struct HttpCacheSettings {
  bool m_bNoCache = false;
  int32_t m_nCacheUpdate = 60;  // minutes, 1..720
  int32_t m_nCacheSize = 5120;  // KB, at least 1
  std::string m_sCacheDir;      // default: HARBIX_HOME/cache
};

struct SocksSettings {
  bool m_bAllowAnonymous = true;
  int32_t m_nVersionType = 2;  // 0 version 4 only, 1 version 5 only, 2 both
  std::map<std::string, std::string> m_users;  // name -> password, names case-sensitive
};

struct DnsSettings {
  uint32_t m_dwDnsServer = 0xFFFFFFFF;  // none chosen
  bool m_bForwardOnly = false;
  // The name servers that the proxy's own answers name ("Name Server 1", "Name Server 2") and
  // their one address ("Name Server IP", network order).
  std::array<std::string, 2> m_asNameServers{"ns1.harbix.lan", "ns2.harbix.lan"};
  uint32_t m_dwNameServerIp = 0x0100007F;  // 127.0.0.1
};

struct ServiceConfig {
  explicit ServiceConfig(ServiceId id = ServiceId::Http);

  ServiceId m_id;
  bool m_bLogActivity = false;
  bool m_bUseThreads = true;
  uint32_t m_dwBindIp = 0;  // network order, 0 = every local address
  uint16_t m_wBindPort = 0;
  bool m_bRunService = true;
  AccessList m_incoming{true};
  AccessList m_outgoing{true};
  HttpCacheSettings m_http;   // HTTP only
  SocksSettings m_socks;      // SOCKS only
  DnsSettings m_dns;          // DNS only
};

// Defaults, then every value of the service's key that reads (creating the key when missing).
ServiceConfig ReadServiceConfig(ServiceId id);
// The same from the values of a key in hand.
ServiceConfig ParseServiceConfig(ServiceId id, const KeyReader& reader);
// "Run Service" alone, from an existing key; a key or value that cannot be read counts as on.
bool ReadRunService(ServiceId id);

// The service's own values: everything but the SOCKS users dialog and the HTTP cache dialog.
void WriteServiceConfig(const ServiceConfig& config);
// "Allow Anonymous", "Users Count" and the "USER %u" entries.
void WriteSocksUsers(const ServiceConfig& config);
// "No Cache", "Cache Update", "Cache Size", "Cache Dir".
void WriteHttpCache(const ServiceConfig& config);

// The default cache directory.
std::string DefaultCacheDir();

}  // namespace harbix
