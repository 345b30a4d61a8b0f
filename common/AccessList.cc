#include "common/AccessList.h"

#include <cstdio>

#include "common/KeyReader.h"

namespace harbix {

std::string FormatIp(uint32_t dwAddress) {
  char szText[16];
  std::snprintf(szText, sizeof szText, "%u.%u.%u.%u", dwAddress & 0xFF, (dwAddress >> 8) & 0xFF,
                (dwAddress >> 16) & 0xFF, dwAddress >> 24);
  return szText;
}

std::string FormatAddressMask(const AddressMask& entry) {
  return FormatIp(entry.m_dwAddress) + ":" + FormatIp(entry.m_dwMask);
}

std::optional<AddressMask> ParseAddressMask(std::string_view sText) {
  const std::string sCopy(sText);  // sscanf needs the terminating NUL
  unsigned n[8] = {};
  if (std::sscanf(sCopy.c_str(), "%u.%u.%u.%u:%u.%u.%u.%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5], &n[6], &n[7]) != 8) {
    return std::nullopt;
  }
  auto pack = [](const unsigned* p) {
    return (p[0] & 0xFF) | ((p[1] & 0xFF) << 8) | ((p[2] & 0xFF) << 16) | ((p[3] & 0xFFu) << 24);
  };
  return AddressMask{pack(n), pack(n + 4)};
}

bool AccessList::Admits(uint32_t dwPeer) const {
  bool bMatch = false;
  for (const auto& [dwAddress, dwMask] : m_entries) {
    if ((dwPeer & dwMask) == (dwAddress & dwMask)) {
      bMatch = true;
      break;
    }
  }
  return bMatch != m_bDeny;
}

void LoadAccessList(const KeyReader& reader, const AccessListNames& names, AccessList* pList) {
  bool bDeny = pList->Deny();
  if (reader.Flag(names.lpDeny, &bDeny)) pList->SetDeny(bDeny);
  pList->Clear();
  uint32_t nCount = 0;
  if (!reader.Dword(names.lpCount, &nCount)) return;
  for (const auto& [nIndex, lpValue] : reader.Numbered(names.lpEntryPrefix, nCount)) {
    (void)nIndex;
    std::string sText;
    if (!KeyReader::TextOf(*lpValue, names.cbEntryBuffer, &sText)) continue;
    if (std::optional<AddressMask> entry = ParseAddressMask(sText)) pList->Add(*entry);
  }
}

void StoreAccessList(KeyWriter& writer, const AccessListNames& names, const AccessList& list) {
  writer.Flag(names.lpDeny, list.Deny());
  writer.Dword(names.lpCount, static_cast<uint32_t>(list.Entries().size()));
  uint32_t nIndex = 0;
  for (const auto& [dwAddress, dwMask] : list.Entries()) {
    writer.Text(std::string(names.lpEntryPrefix) + std::to_string(nIndex++), FormatAddressMask({dwAddress, dwMask}));
  }
}

}  // namespace harbix
