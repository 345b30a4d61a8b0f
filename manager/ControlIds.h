// The numeric identifiers of the manager's controls. Each control carries its identifier as
// its object name, and the help texts are keyed by it.
#pragma once

namespace harbix::manager::id {

// Buttons shared by the dialogs.
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;  // titled "Close" while nothing is changed
inline constexpr int kApply = 1042;

// Service pages.
inline constexpr int kActiveConnections = 1000;
inline constexpr int kEngineState = 1003;
inline constexpr int kSentBytes = 1005;
inline constexpr int kReceivedBytes = 1006;
inline constexpr int kBindIp = 1012;
inline constexpr int kRunService = 1014;
inline constexpr int kBindPort = 1015;
inline constexpr int kBindPortSpin = 1016;
inline constexpr int kForwardOnly = 1017;
inline constexpr int kDnsServer = 1019;
inline constexpr int kLogActivity = 1085;
inline constexpr int kUseThreads = 1086;
inline constexpr int kOpenHostsFile = 2028;
inline constexpr int kCacheSettings = 1034;
inline constexpr int kUsersSets = 1047;
inline constexpr int kSocksV4 = 1048;
inline constexpr int kSocksV5 = 1049;
inline constexpr int kSocksBoth = 1050;

// Access-list editors: the incoming list (also DNS and port maps) and the outgoing list.
struct AccessListIds {
  int m_nList;
  int m_nNew;
  int m_nDel;
  int m_nAddress;
  int m_nMask;
  int m_nAllow;
  int m_nDeny;
};
inline constexpr AccessListIds kIncomingList = {1020, 1021, 1022, 1023, 1026, 1024, 1025};
inline constexpr AccessListIds kOutgoingList = {1027, 1028, 1029, 1030, 1031, 1032, 1033};

// HTTP cache settings dialog.
inline constexpr int kNoCache = 1035;
inline constexpr int kCacheDir = 1036;
inline constexpr int kBrowse = 1037;
inline constexpr int kCacheUpdate = 1038;
inline constexpr int kCacheUpdateSpin = 1039;
inline constexpr int kFreeSpace = 1044;
inline constexpr int kSizeUnit = 1045;
inline constexpr int kCacheSize = 1096;
inline constexpr int kCacheSizeSpin = 1097;

// SOCKS users dialog.
inline constexpr int kAllowAnonymous = 1052;
inline constexpr int kUserList = 1053;
inline constexpr int kUserName = 1056;
inline constexpr int kPassword = 1057;
inline constexpr int kRetypePassword = 1058;
inline constexpr int kNewUser = 1098;
inline constexpr int kDelUser = 1099;

// PortMap page (bind address, bind port, enable, threads and the list use the ids above).
inline constexpr int kMapList = 1059;
inline constexpr int kNewMap = 1060;
inline constexpr int kDelMap = 1061;
inline constexpr int kDestHost = 1065;
inline constexpr int kDestPort = 1066;
inline constexpr int kDestPortSpin = 1067;
inline constexpr int kWaitReply = 1072;
inline constexpr int kTypeTcp = 2000;
inline constexpr int kTypeUdp = 2001;
inline constexpr int kTypeBoth = 2002;

// General page.
inline constexpr int kShowIcon = 1001;
inline constexpr int kRefreshRate = 1008;
inline constexpr int kRefreshRateSpin = 1009;
inline constexpr int kNoRefresh = 1010;
inline constexpr int kEngineAutostart = 1011;
inline constexpr int kMaxConnections = 1040;
inline constexpr int kMaxConnectionsSpin = 1041;
inline constexpr int kStateList = 1046;
inline constexpr int kProcessPriority = 1095;

// Tools page.
inline constexpr int kResolveQuery = 1074;
inline constexpr int kResolve = 1075;
inline constexpr int kHostName = 1076;
inline constexpr int kAliases = 1077;
inline constexpr int kPrimaryIp = 1078;
inline constexpr int kOtherIp = 1079;

}  // namespace harbix::manager::id
