// The host's configured name servers, offered by the DNS page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace harbix::manager {

// The IPv4 addresses (network order) of the "nameserver" lines of a resolv.conf, in file
// order; entries that are not dotted IPv4 addresses (IPv6, names) are skipped.
std::vector<uint32_t> ReadNameServers(const std::string& sPath);

}  // namespace harbix::manager
