// The host's own IPv4 addresses, offered as listening addresses by the pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace harbix::manager {

inline constexpr size_t kMaxLocalAddresses = 100;

// Up to nCapacity addresses (network order) of the interfaces, in the order the system lists
// them; none when the system cannot tell. Zero addresses are left out.
std::vector<uint32_t> ListLocalAddresses(size_t nCapacity = kMaxLocalAddresses);

}  // namespace harbix::manager
