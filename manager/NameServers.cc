#include "manager/NameServers.h"

#include <fstream>
#include <sstream>

#include "manager/AddressText.h"

namespace harbix::manager {
namespace {
// resolv.conf is small; a larger file is not one, and is not read further.
constexpr size_t kMaxLines = 4096;
}  // namespace

std::vector<uint32_t> ReadNameServers(const std::string& sPath) {
  std::vector<uint32_t> vServers;
  std::ifstream file(sPath);
  std::string sLine;
  for (size_t nLine = 0; nLine < kMaxLines && std::getline(file, sLine); ++nLine) {
    std::istringstream words(sLine);
    std::string sKeyword;
    std::string sAddress;
    if (!(words >> sKeyword >> sAddress) || sKeyword != "nameserver") continue;
    if (std::optional<uint32_t> dwAddress = ParseAddressText(sAddress)) vServers.push_back(*dwAddress);
  }
  return vServers;
}

}  // namespace harbix::manager
