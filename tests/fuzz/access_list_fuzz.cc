// The text form of an access-list entry: what parses formats back to a text that parses to the
// same entry.
#include <cstdlib>

#include "common/AccessList.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const std::string_view sText(reinterpret_cast<const char*>(lpData), cbData);
  const std::optional<AddressMask> entry = ParseAddressMask(sText);
  if (!entry) return 0;
  const std::optional<AddressMask> again = ParseAddressMask(FormatAddressMask(*entry));
  if (!again || again->m_dwAddress != entry->m_dwAddress || again->m_dwMask != entry->m_dwMask) std::abort();
  AccessList list;
  list.Add(*entry);
  if (list.Admits(entry->m_dwAddress) != !list.Deny()) std::abort();  // a listed address is matched
  return 0;
}
