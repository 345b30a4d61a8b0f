#include "manager/LocalAddresses.h"

#include <ifaddrs.h>
#include <netinet/in.h>

namespace harbix::manager {

std::vector<uint32_t> ListLocalAddresses(size_t nCapacity) {
  std::vector<uint32_t> vAddresses;
  ifaddrs* lpList = nullptr;
  if (::getifaddrs(&lpList) != 0) return vAddresses;
  for (const ifaddrs* lpEntry = lpList; lpEntry && vAddresses.size() < nCapacity; lpEntry = lpEntry->ifa_next) {
    if (!lpEntry->ifa_addr || lpEntry->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t dwAddress = reinterpret_cast<const sockaddr_in*>(lpEntry->ifa_addr)->sin_addr.s_addr;
    if (dwAddress != 0) vAddresses.push_back(dwAddress);
  }
  ::freeifaddrs(lpList);
  return vAddresses;
}

}  // namespace harbix::manager
