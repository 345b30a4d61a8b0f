#include "manager/HelpTopics.h"

#include <map>

#include "manager/ControlIds.h"

namespace harbix::manager {
namespace {

const std::map<int, const char*>& Topics() {
  static const std::map<int, const char*> topics = {
      {id::kRunService, "Runs this service (or this port map) when the engine starts or reloads its settings."},
      {id::kEngineState, "Whether the proxy engine is running."},
      {id::kBindIp, "The local address the service listens on. ANY ADDRESS listens on every address of this machine."},
      {id::kBindPort, "The local port the service listens on (1 to 65535)."},
      {id::kLogActivity, "Writes the service's activity log (accepted, refused and closed connections)."},
      {id::kUseThreads, "Serves each client on a thread of its own."},
      {id::kIncomingList.m_nList, "The client addresses this list names, as address:mask. Select a line to edit it."},
      {id::kIncomingList.m_nNew, "Starts a new entry; press Add when the address and mask are typed in."},
      {id::kIncomingList.m_nDel, "Removes the selected entry."},
      {id::kIncomingList.m_nAddress, "The address of the entry, for example 192.168.1.0."},
      {id::kIncomingList.m_nMask, "The mask of the entry, for example 255.255.255.0; 0.0.0.0 matches every address."},
      {id::kIncomingList.m_nAllow, "Only the clients the list names are served."},
      {id::kIncomingList.m_nDeny, "The clients the list names are refused; everybody else is served."},
      {id::kOutgoingList.m_nList, "The destination addresses this list names, as address:mask."},
      {id::kOutgoingList.m_nNew, "Starts a new entry; press Add when the address and mask are typed in."},
      {id::kOutgoingList.m_nDel, "Removes the selected entry."},
      {id::kOutgoingList.m_nAddress, "The address of the entry."},
      {id::kOutgoingList.m_nMask, "The mask of the entry."},
      {id::kOutgoingList.m_nAllow, "Clients may reach only the destinations the list names."},
      {id::kOutgoingList.m_nDeny, "Clients may reach every destination but the ones the list names."},
      {id::kActiveConnections, "The connections the service serves now."},
      {id::kReceivedBytes, "The bytes the service has received since the engine started."},
      {id::kSentBytes, "The bytes the service has sent since the engine started."},
      {id::kForwardOnly, "Forwards every request to the DNS server instead of resolving names on this machine."},
      {id::kDnsServer, "The name server requests are forwarded to."},
      {id::kOpenHostsFile, "Opens this machine's hosts file, whose names the DNS proxy answers too."},
      {id::kCacheSettings, "The HTTP proxy's disk cache: directory, size and update interval."},
      {id::kUsersSets, "The user names and passwords SOCKS version 5 clients may log in with."},
      {id::kSocksV4, "Serves SOCKS version 4 clients only."},
      {id::kSocksV5, "Serves SOCKS version 5 clients only."},
      {id::kSocksBoth, "Serves SOCKS version 4 and version 5 clients."},
      {id::kNoCache, "Passes every answer on without keeping a copy on disk."},
      {id::kCacheDir, "The folder the cache keeps its files in."},
      {id::kBrowse, "Chooses another cache folder; the size is then set to a tenth of its free space."},
      {id::kCacheUpdate, "How often, in minutes, the cache removes expired entries and keeps within its size."},
      {id::kCacheSize, "The most disk space the cache may take."},
      {id::kFreeSpace, "The free space of the cache folder's drive."},
      {id::kSizeUnit, "The unit of the size, and the share of the free space it takes."},
      {id::kAllowAnonymous, "Accepts clients that give no user name and password."},
      {id::kUserList, "The users that may log in."},
      {id::kNewUser, "Starts a new user; press Add when the name and both passwords are typed in."},
      {id::kDelUser, "Removes the selected user."},
      {id::kUserName, "The user's name (no blanks)."},
      {id::kPassword, "The user's password (no blanks)."},
      {id::kRetypePassword, "The password again, to catch a typing error."},
      {id::kMapList, "Every port map: where it listens, where it forwards to, and whether it is enabled."},
      {id::kNewMap, "Starts a new port map; press Add Map when its properties are set."},
      {id::kDelMap, "Removes the selected port map."},
      {id::kDestHost, "The host the map forwards to: a name or a dotted address."},
      {id::kDestPort, "The port the map forwards to (1 to 65535)."},
      {id::kWaitReply, "Waits for the destination's reply to a UDP datagram and sends it back to the client."},
      {id::kTypeTcp, "Maps TCP connections only."},
      {id::kTypeUdp, "Maps UDP datagrams only."},
      {id::kTypeBoth, "Maps TCP connections and UDP datagrams."},
      {id::kShowIcon, "Shows the engine's icon in the taskbar's notification area."},
      {id::kRefreshRate, "Seconds between two updates of the statistics (1 to 60)."},
      {id::kNoRefresh, "Does not update the statistics."},
      {id::kEngineAutostart, "Starts the proxy engine with the system."},
      {id::kMaxConnections, "The most connections the engine serves at once, over all services; 0 means no limit."},
      {id::kStateList, "The state of every service and port map of the running engine."},
      {id::kProcessPriority, "The scheduling priority of the engine process."},
      {id::kResolveQuery, "A host name or dotted address to look up."},
      {id::kResolve, "Looks the host up."},
  };
  return topics;
}

}  // namespace

QString HelpTopic(int nId) {
  auto it = Topics().find(nId);
  return it == Topics().end() ? QString() : QString::fromUtf8(it->second);
}

}  // namespace harbix::manager
