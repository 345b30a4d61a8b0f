#include "common/ServiceConfig.h"

#include <gtest/gtest.h>

#include "common/GeneralConfig.h"
#include "common/KeyReader.h"
#include "common/MapRecord.h"
#include "common/RegistryText.h"
#include "platform/Registry.h"
#include "tests/support/TempHome.h"

namespace harbix {
namespace {

class ConfigTest : public ::testing::Test {
 protected:
  static RegistryKey Key(const std::string& sSubkey) {
    auto key = RegistryKey::Create(Hive::LocalMachine, ManagerKeyPath(sSubkey));
    EXPECT_TRUE(key);
    return *key;
  }
  static void SetPort(RegistryKey& key, const char* lpName, uint16_t wPort) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(wPort), static_cast<unsigned char>(wPort >> 8)};
    key.SetBinary(lpName, bytes, 2);
  }
  static void SetUser(RegistryKey& key, int nIndex, const std::string& sText) {
    const std::string sEncoded = EncodeRegistryText(sText);
    key.SetBinary("USER " + std::to_string(nIndex), sEncoded.data(), static_cast<uint32_t>(sEncoded.size()));
  }

  test::TempHome m_home;
};

TEST_F(ConfigTest, EmptyRootGivesEveryDefault) {
  for (const ServiceTraits& traits : AllServices()) {
    SCOPED_TRACE(traits.m_lpKey);
    const ServiceConfig config = ReadServiceConfig(traits.m_id);
    EXPECT_EQ(config.m_wBindPort, traits.m_wDefaultPort);
    EXPECT_EQ(config.m_dwBindIp, 0u);
    EXPECT_TRUE(config.m_bRunService);
    EXPECT_TRUE(config.m_bUseThreads);
    EXPECT_FALSE(config.m_bLogActivity);
    EXPECT_TRUE(config.m_incoming.Deny());
    EXPECT_TRUE(config.m_incoming.Entries().empty());
    EXPECT_TRUE(config.m_outgoing.Deny());
    EXPECT_TRUE(config.m_outgoing.Entries().empty());
    EXPECT_TRUE(ReadRunService(traits.m_id));
  }
  const uint16_t kPorts[] = {53, 2121, 8080, 2525, 1090, 1080, 23};
  for (int i = 0; i < kServiceCount; ++i) EXPECT_EQ(AllServices()[i].m_wDefaultPort, kPorts[i]);

  const ServiceConfig http = ReadServiceConfig(ServiceId::Http);
  EXPECT_FALSE(http.m_http.m_bNoCache);
  EXPECT_EQ(http.m_http.m_nCacheUpdate, 60);
  EXPECT_EQ(http.m_http.m_nCacheSize, 5120);
  EXPECT_EQ(http.m_http.m_sCacheDir, m_home.Path() + "/cache");
  const ServiceConfig socks = ReadServiceConfig(ServiceId::Socks);
  EXPECT_TRUE(socks.m_socks.m_bAllowAnonymous);
  EXPECT_EQ(socks.m_socks.m_nVersionType, 2);
  EXPECT_TRUE(socks.m_socks.m_users.empty());
  const ServiceConfig dns = ReadServiceConfig(ServiceId::Dns);
  EXPECT_EQ(dns.m_dns.m_dwDnsServer, 0xFFFFFFFFu);
  EXPECT_FALSE(dns.m_dns.m_bForwardOnly);
  EXPECT_EQ(dns.m_dns.m_asNameServers[0], "ns1.harbix.lan");
  EXPECT_EQ(dns.m_dns.m_asNameServers[1], "ns2.harbix.lan");
  EXPECT_EQ(dns.m_dns.m_dwNameServerIp, 0x0100007Fu);

  const GeneralConfig general = ReadGeneralConfig();
  EXPECT_EQ(general.m_nMaxConnections, 0);
  EXPECT_EQ(general.m_nProcessPriority, 64);
  EXPECT_EQ(general.m_nRefreshRate, 3);
  EXPECT_FALSE(general.m_bNoRefresh);
  EXPECT_TRUE(ReadMapRecords().empty());
}

TEST_F(ConfigTest, ValuesOfTheWrongWidthKeepTheDefault) {
  RegistryKey key = Key("TNET");
  key.SetDword("Bind Port", 2323);                   // a port must be 2 bytes
  key.SetBinary("Run Service", "\x00\x00", 2);       // a flag must be 4 bytes
  key.SetBinary("LOG Activity", "\x01\x00\x00\x00", 4);  // right width, any type
  const ServiceConfig config = ReadServiceConfig(ServiceId::Telnet);
  EXPECT_EQ(config.m_wBindPort, 23);
  EXPECT_TRUE(config.m_bRunService);
  EXPECT_TRUE(config.m_bLogActivity);
}

TEST_F(ConfigTest, ReadsEveryServiceValue) {
  RegistryKey key = Key("FTP");
  key.SetDword("Bind IP", 0x0100007F);
  SetPort(key, "Bind Port", 2100);
  key.SetDword("Use Threads", 0);
  key.SetDword("Deny Incoming", 0);
  key.SetDword("Deny Outgoing", 0);
  key.SetDword("Incoming IP Count", 1);
  key.SetString("Incoming IP 0", "10.0.0.0:255.0.0.0");
  key.SetDword("Outgoing IP Count", 1);
  key.SetString("Outgoing IP 0", "192.168.1.2:255.255.255.255");
  const ServiceConfig config = ReadServiceConfig(ServiceId::Ftp);
  EXPECT_EQ(config.m_dwBindIp, 0x0100007Fu);
  EXPECT_EQ(config.m_wBindPort, 2100);
  EXPECT_FALSE(config.m_bUseThreads);
  EXPECT_FALSE(config.m_incoming.Deny());
  EXPECT_FALSE(config.m_outgoing.Deny());
  EXPECT_EQ(config.m_incoming.Entries().at(0x0000000A), 0x000000FFu);
  EXPECT_EQ(config.m_outgoing.Entries().at(0x0201A8C0), 0xFFFFFFFFu);
}

TEST_F(ConfigTest, BlankNameServersKeepTheirDefaults) {
  RegistryKey key = Key("DNS");
  key.SetString("Name Server 1", "  ");
  key.SetString("Name Server 2", " ns.office.lan ");
  const ServiceConfig config = ReadServiceConfig(ServiceId::Dns);
  EXPECT_EQ(config.m_dns.m_asNameServers[0], "ns1.harbix.lan");
  EXPECT_EQ(config.m_dns.m_asNameServers[1], "ns.office.lan");
}

TEST_F(ConfigTest, AccessListEntriesAreSkippedWhenUnreadable) {
  RegistryKey key = Key("HTTP");
  key.SetDword("Incoming IP Count", 6);
  key.SetString("Incoming IP 0", "192.168.1.0:255.255.255.0");
  // 1 is missing
  key.SetString("Incoming IP 2", "10.1.2.3:255.255.255.255");
  key.SetString("Incoming IP 3", "10.9.9.9:255.255.255");            // seven numbers
  key.SetString("Incoming IP 4", "10.10.10.10:255.255.255.255    x");  // 33 bytes with the NUL
  key.SetString("Incoming IP 5", "266.1.1.1:255.255.255.255");       // 266 is 10 modulo 256
  key.SetString("Incoming IP 6", "10.6.6.6:255.255.255.255");        // at the count: ignored
  key.SetString("Incoming IP 02", "10.2.2.2:255.255.255.255");       // not a "%u" spelling
  const ServiceConfig config = ReadServiceConfig(ServiceId::Http);
  std::vector<std::string> vEntries;
  for (const auto& [dwAddress, dwMask] : config.m_incoming.Entries()) vEntries.push_back(FormatAddressMask({dwAddress, dwMask}));
  std::sort(vEntries.begin(), vEntries.end());
  EXPECT_EQ(vEntries, (std::vector<std::string>{"10.1.1.1:255.255.255.255", "10.1.2.3:255.255.255.255",
                                                 "192.168.1.0:255.255.255.0"}));
}

TEST_F(ConfigTest, TheLaterEntryForAnAddressWins) {
  RegistryKey key = Key("HTTPS");
  key.SetDword("Outgoing IP Count", 2);
  key.SetString("Outgoing IP 0", "10.0.0.1:255.255.255.255");
  key.SetString("Outgoing IP 1", "10.0.0.1:255.0.0.0");
  const ServiceConfig config = ReadServiceConfig(ServiceId::Https);
  ASSERT_EQ(config.m_outgoing.Entries().size(), 1u);
  EXPECT_EQ(config.m_outgoing.Entries().begin()->second, 0x000000FFu);
}

TEST_F(ConfigTest, NumbersAreClamped) {
  struct Case {
    const char* lpKey;
    const char* lpName;
    int32_t nStored;
    int32_t nRead;
  } cases[] = {
      {"HTTP", "Cache Update", 0, 1},         {"HTTP", "Cache Update", 1000, 720},
      {"HTTP", "Cache Update", 15, 15},       {"HTTP", "Cache Size", -5, 1},
      {"HTTP", "Cache Size", 0, 1},           {"HTTP", "Cache Size", 100000, 100000},
      {"SOCKS", "Version Type", -1, 0},       {"SOCKS", "Version Type", 3, 2},
      {"SOCKS", "Version Type", 1, 1},        {"General", "Max Connections", 5000, 2000},
      {"General", "Max Connections", -3, 0},  {"General", "Max Connections", 2, 2},
      {"General", "Process Priority", 100, 32}, {"General", "Process Priority", 128, 128},
      {"General", "Process Priority", 256, 256}, {"General", "Refresh Rate", 0, 1},
      {"General", "Refresh Rate", 99, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lpName) + " " + std::to_string(c.nStored));
    RegistryKey key = Key(c.lpKey);
    key.SetDword(c.lpName, static_cast<uint32_t>(c.nStored));
    const ServiceConfig http = ReadServiceConfig(ServiceId::Http);
    const ServiceConfig socks = ReadServiceConfig(ServiceId::Socks);
    const GeneralConfig general = ReadGeneralConfig();
    const std::map<std::string, int32_t> read = {
        {"Cache Update", http.m_http.m_nCacheUpdate},     {"Cache Size", http.m_http.m_nCacheSize},
        {"Version Type", socks.m_socks.m_nVersionType},   {"Max Connections", general.m_nMaxConnections},
        {"Process Priority", general.m_nProcessPriority}, {"Refresh Rate", general.m_nRefreshRate},
    };
    EXPECT_EQ(read.at(c.lpName), c.nRead);
  }
}

TEST_F(ConfigTest, CacheDirLosesOneTrailingSeparator) {
  const struct {
    const char* lpStored;
    const char* lpRead;
  } cases[] = {{"/srv/cache/", "/srv/cache"}, {"/srv/cache", "/srv/cache"}, {"/srv/cache//", "/srv/cache/"}, {"/", "/"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lpStored);
    Key("HTTP").SetString("Cache Dir", c.lpStored);
    EXPECT_EQ(ReadServiceConfig(ServiceId::Http).m_http.m_sCacheDir, c.lpRead);
  }
  Key("HTTP").SetString("Cache Dir", std::string(300, 'x'));  // longer than 259 characters
  EXPECT_EQ(ReadServiceConfig(ServiceId::Http).m_http.m_sCacheDir, m_home.Path() + "/cache");
}

TEST_F(ConfigTest, SocksUsersAreDecodedTrimmedAndDeduplicated) {
  RegistryKey key = Key("SOCKS");
  key.SetDword("Users Count", 8);
  SetUser(key, 0, "alice\tfirst");
  SetUser(key, 1, "alice\tsecond");       // same name: the first wins
  SetUser(key, 2, "bob");                 // no TAB
  SetUser(key, 3, "carol\t");             // ends right after the TAB
  SetUser(key, 4, "\tpw");                // empty name
  SetUser(key, 5, "  dave \t  pass word ");
  key.SetBinary("USER 6", "not encoded", 11);
  SetUser(key, 7, "Alice\tthird");        // names are case-sensitive
  SetUser(key, 8, "erin\tbeyond");        // at the count
  const ServiceConfig config = ReadServiceConfig(ServiceId::Socks);
  const std::map<std::string, std::string> expected = {{"alice", "first"}, {"dave", "pass word"}, {"Alice", "third"}};
  EXPECT_EQ(config.m_socks.m_users, expected);
}

TEST_F(ConfigTest, WritersRoundTripAndNeverDeleteValues) {
  ServiceConfig socks(ServiceId::Socks);
  socks.m_bLogActivity = true;
  socks.m_bUseThreads = false;
  socks.m_dwBindIp = 0x0100007F;
  socks.m_wBindPort = 1081;
  socks.m_incoming.SetDeny(false);
  socks.m_incoming.Add({0x0000A8C0, 0x00FFFFFF});
  socks.m_incoming.Add({0x0100000A, 0xFFFFFFFF});
  socks.m_incoming.Add({0x0200000A, 0xFFFFFFFF});
  socks.m_outgoing.Add({0x0300000A, 0xFFFFFFFF});
  socks.m_socks.m_nVersionType = 1;
  socks.m_socks.m_bAllowAnonymous = false;
  socks.m_socks.m_users = {{"alice", "pw1"}, {"bob", "pw\t2"}};
  WriteServiceConfig(socks);
  WriteSocksUsers(socks);
  const ServiceConfig read = ReadServiceConfig(ServiceId::Socks);
  EXPECT_EQ(read.m_bLogActivity, socks.m_bLogActivity);
  EXPECT_EQ(read.m_bUseThreads, socks.m_bUseThreads);
  EXPECT_EQ(read.m_dwBindIp, socks.m_dwBindIp);
  EXPECT_EQ(read.m_wBindPort, socks.m_wBindPort);
  EXPECT_EQ(read.m_incoming, socks.m_incoming);
  EXPECT_EQ(read.m_outgoing, socks.m_outgoing);
  EXPECT_EQ(read.m_socks.m_nVersionType, 1);
  EXPECT_FALSE(read.m_socks.m_bAllowAnonymous);
  EXPECT_EQ(read.m_socks.m_users, socks.m_socks.m_users);

  // A shorter list leaves the old entries behind; the count hides them.
  socks.m_incoming.Clear();
  socks.m_incoming.Add({0x0900000A, 0xFFFFFFFF});
  WriteServiceConfig(socks);
  EXPECT_TRUE(Key("SOCKS").GetValue("Incoming IP 2"));
  EXPECT_EQ(ReadServiceConfig(ServiceId::Socks).m_incoming, socks.m_incoming);

  ServiceConfig http(ServiceId::Http);
  http.m_http = {true, 30, 2048, "/srv/cache"};
  WriteHttpCache(http);
  const ServiceConfig httpRead = ReadServiceConfig(ServiceId::Http);
  EXPECT_TRUE(httpRead.m_http.m_bNoCache);
  EXPECT_EQ(httpRead.m_http.m_nCacheUpdate, 30);
  EXPECT_EQ(httpRead.m_http.m_nCacheSize, 2048);
  EXPECT_EQ(httpRead.m_http.m_sCacheDir, "/srv/cache");

  ServiceConfig dns(ServiceId::Dns);
  dns.m_dns.m_dwDnsServer = 0x0200007F;
  dns.m_dns.m_bForwardOnly = true;
  dns.m_dns.m_asNameServers = {"ns-a.office.lan", "ns-b.office.lan"};
  dns.m_dns.m_dwNameServerIp = 0x3500000A;
  dns.m_incoming.Add({0x0100007F, 0xFFFFFFFF});
  WriteServiceConfig(dns);
  const ServiceConfig dnsRead = ReadServiceConfig(ServiceId::Dns);
  EXPECT_EQ(dnsRead.m_dns.m_dwDnsServer, 0x0200007Fu);
  EXPECT_TRUE(dnsRead.m_dns.m_bForwardOnly);
  EXPECT_EQ(dnsRead.m_dns.m_asNameServers, dns.m_dns.m_asNameServers);
  EXPECT_EQ(dnsRead.m_dns.m_dwNameServerIp, 0x3500000Au);
  EXPECT_EQ(dnsRead.m_incoming, dns.m_incoming);
  EXPECT_FALSE(Key("DNS").GetValue("Use Threads")) << "the DNS key has no Use Threads";
  EXPECT_TRUE(Key("DNS").GetValue("IP Count"));

  GeneralConfig general{100, 128, 10, true};
  WriteGeneralConfig(general);
  const GeneralConfig generalRead = ReadGeneralConfig();
  EXPECT_EQ(generalRead.m_nMaxConnections, 100);
  EXPECT_EQ(generalRead.m_nProcessPriority, 128);
  EXPECT_EQ(generalRead.m_nRefreshRate, 10);
  EXPECT_TRUE(generalRead.m_bNoRefresh);
}

TEST_F(ConfigTest, RunServiceReadOpensWithoutCreating) {
  EXPECT_TRUE(ReadRunService(ServiceId::Pna));
  EXPECT_FALSE(RegistryKey::Open(Hive::LocalMachine, ManagerKeyPath("PNA")));
  Key("PNA").SetDword("Run Service", 0);
  EXPECT_FALSE(ReadRunService(ServiceId::Pna));
}

TEST_F(ConfigTest, MapsBeyondTheCountAreIgnored) {
  MapRecord first;
  first.m_wBindPort = 5000;
  first.m_sDestHost = "example.test";
  first.m_wDestPort = 80;
  first.m_serviceType = MapServiceType::Tcp;
  first.m_incoming.Add({0x0100007F, 0xFFFFFFFF});
  MapRecord second = first;
  second.m_wBindPort = 5001;
  MapRecord third = first;
  third.m_wBindPort = 5002;
  WriteMapRecords({first, second, third});
  ASSERT_EQ(ReadMapRecords().size(), 3u);

  WriteMapRecords({first, second});
  EXPECT_TRUE(RegistryKey::Open(Hive::LocalMachine, MapKeyPath(2))) << "the writer never deletes";
  const std::vector<MapRecord> vMaps = ReadMapRecords();
  ASSERT_EQ(vMaps.size(), 2u);
  EXPECT_EQ(vMaps[0], first);
  EXPECT_EQ(vMaps[1], second);
}

TEST_F(ConfigTest, MapRecordDefaultsAndClamps) {
  Key("MAP").SetDword("Maps Count", 3);
  RegistryKey map0 = Key("#0.MAP");
  map0.SetString("Dest Host", "  example.test \t");
  map0.SetDword("Service Type", 5);
  RegistryKey map1 = Key("#1.MAP");
  map1.SetDword("Service Type", static_cast<uint32_t>(-1));
  // #2.MAP does not exist: no phantom map of defaults is made for it.
  const std::vector<MapRecord> vMaps = ReadMapRecords();
  ASSERT_EQ(vMaps.size(), 2u);
  EXPECT_EQ(vMaps[0].m_sDestHost, "example.test");
  EXPECT_EQ(vMaps[0].m_serviceType, MapServiceType::TcpAndUdp);
  EXPECT_EQ(vMaps[0].m_wBindPort, 1);
  EXPECT_EQ(vMaps[0].m_wDestPort, 1);
  EXPECT_TRUE(vMaps[0].m_bWaitReply);
  EXPECT_FALSE(vMaps[0].m_incoming.Deny()) << "a map's list admits only its entries by default";
  EXPECT_EQ(vMaps[1].m_serviceType, MapServiceType::Tcp);
}

// A text must fit its reader's buffer with its terminator (fuzzing found a 256-byte host).
TEST_F(ConfigTest, ATextThatFillsItsBufferWithoutATerminatorIsTooLong) {
  struct Case {
    const char* lpName;
    std::string sData;
    const char* lpHost;
  } cases[] = {
      {"255 characters and the terminator", std::string(255, 'h') + '\0', nullptr},
      {"255 characters, no terminator", std::string(255, 'h'), nullptr},
      {"256 characters, no terminator", std::string(256, 'h'), ""},
      {"a shorter text, the rest after the terminator", "short.test" + std::string(1, '\0') + std::string(245, 'x'), "short.test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    Key("MAP").SetDword("Maps Count", 1);
    Key("#0.MAP").SetBinary("Dest Host", c.sData.data(), static_cast<uint32_t>(c.sData.size()));
    const std::vector<MapRecord> vMaps = ReadMapRecords();
    ASSERT_EQ(vMaps.size(), 1u);
    EXPECT_EQ(vMaps[0].m_sDestHost, c.lpHost ? std::string(c.lpHost) : std::string(255, 'h'));
  }
}

}  // namespace
}  // namespace harbix
