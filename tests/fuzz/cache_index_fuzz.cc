// The cache's index file as it may be found on disk (damaged, cut, written by anybody): the
// records read back, and what is written from them reads back the same.
#include <cstdlib>

#include "engine/http/UrlTable.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const std::vector<CacheEntry> vEntries = UrlTable::ParseIndex(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
  const std::vector<CacheEntry> vAgain = UrlTable::ParseIndex(UrlTable::SerializeIndex(vEntries));
  if (vAgain.size() != vEntries.size()) std::abort();
  for (size_t i = 0; i < vEntries.size(); ++i) {
    if (vAgain[i].m_sHost != vEntries[i].m_sHost || vAgain[i].m_sPath != vEntries[i].m_sPath ||
        vAgain[i].m_sFileName != vEntries[i].m_sFileName || vAgain[i].m_wPort != vEntries[i].m_wPort ||
        vAgain[i].m_nExpires != vEntries[i].m_nExpires || vAgain[i].m_nLastModified != vEntries[i].m_nLastModified) {
      std::abort();
    }
  }
  return 0;
}
