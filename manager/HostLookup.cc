#include "manager/HostLookup.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace harbix::manager {
namespace {

constexpr size_t kInitialBuffer = 8192;
constexpr size_t kMaxBuffer = 1 << 20;

HostInfo InfoOf(const hostent& entry) {
  HostInfo info;
  if (entry.h_name) info.m_sName = entry.h_name;
  for (char** lpAlias = entry.h_aliases; lpAlias && *lpAlias; ++lpAlias) info.m_vAliases.emplace_back(*lpAlias);
  if (entry.h_addrtype == AF_INET && entry.h_length == 4) {
    for (char** lpAddress = entry.h_addr_list; lpAddress && *lpAddress; ++lpAddress) {
      uint32_t dwAddress = 0;
      std::memcpy(&dwAddress, *lpAddress, sizeof dwAddress);
      info.m_vAddresses.push_back(dwAddress);
    }
  }
  return info;
}

// The reentrant lookups want a buffer large enough; it grows, within reason, until it is.
template <typename Lookup>
std::optional<HostInfo> WithBuffer(Lookup lookup) {
  for (size_t cbBuffer = kInitialBuffer; cbBuffer <= kMaxBuffer; cbBuffer *= 2) {
    std::vector<char> buffer(cbBuffer);
    hostent entry{};
    hostent* lpResult = nullptr;
    int nError = 0;
    const int nStatus = lookup(&entry, buffer.data(), buffer.size(), &lpResult, &nError);
    if (nStatus == ERANGE) continue;
    if (nStatus != 0 || !lpResult) return std::nullopt;
    return InfoOf(*lpResult);
  }
  return std::nullopt;
}

}  // namespace

std::optional<HostInfo> LookUpHost(const std::string& sQuery) {
  unsigned n[4] = {};
  char cExtra = 0;
  if (std::sscanf(sQuery.c_str(), "%u.%u.%u.%u%c", &n[0], &n[1], &n[2], &n[3], &cExtra) == 4) {
    const uint32_t dwAddress = (n[0] & 0xFF) | ((n[1] & 0xFF) << 8) | ((n[2] & 0xFF) << 16) | ((n[3] & 0xFFu) << 24);
    return WithBuffer([&](hostent* lpEntry, char* lpBuffer, size_t cbBuffer, hostent** lpResult, int* lpError) {
      return ::gethostbyaddr_r(&dwAddress, sizeof dwAddress, AF_INET, lpEntry, lpBuffer, cbBuffer, lpResult, lpError);
    });
  }
  return WithBuffer([&](hostent* lpEntry, char* lpBuffer, size_t cbBuffer, hostent** lpResult, int* lpError) {
    return ::gethostbyname_r(sQuery.c_str(), lpEntry, lpBuffer, cbBuffer, lpResult, lpError);
  });
}

}  // namespace harbix::manager
