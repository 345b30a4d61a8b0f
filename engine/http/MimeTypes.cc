#include "engine/http/MimeTypes.h"

#include <fstream>
#include <sstream>

#include "common/Text.h"

namespace harbix {

MimeTypes::MimeTypes(const std::string& sPath) {
  std::ifstream file(sPath);
  std::string sLine;
  while (std::getline(file, sLine)) {
    if (sLine.empty() || sLine[0] == '#') continue;
    std::istringstream words(sLine);
    std::string sType;
    std::string sExtension;
    words >> sType;
    while (words >> sExtension) m_types.try_emplace(ToLower(sExtension), sType);  // the first type listed wins
  }
}

const MimeTypes& MimeTypes::System() {
  static const MimeTypes table;
  return table;
}

std::string MimeTypes::TypeOf(std::string_view sFileName) const {
  const size_t nSlash = sFileName.find_last_of('/');
  if (nSlash != std::string_view::npos) sFileName.remove_prefix(nSlash + 1);
  const size_t nDot = sFileName.find_last_of('.');
  if (nDot == std::string_view::npos) return kDefault;
  auto it = m_types.find(ToLower(sFileName.substr(nDot + 1)));
  return it == m_types.end() ? kDefault : it->second;
}

}  // namespace harbix
