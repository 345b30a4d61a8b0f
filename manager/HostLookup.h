// Looking a host up by name, or by address for a query of four dotted numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harbix::manager {

struct HostInfo {
  std::string m_sName;  // official name, empty when none
  std::vector<std::string> m_vAliases;
  std::vector<uint32_t> m_vAddresses;  // network order
};

// Nothing when the lookup fails.
std::optional<HostInfo> LookUpHost(const std::string& sQuery);

}  // namespace harbix::manager
