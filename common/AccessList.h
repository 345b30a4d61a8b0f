// Address access lists: sets of address/mask pairs with a Deny flag that decide which clients a
// service accepts and which destinations its sessions may reach.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace harbix {

class KeyReader;
class KeyWriter;

// An IPv4 address and mask, both in network byte order (the first dotted number is the
// lowest-addressed byte).
struct AddressMask {
  uint32_t m_dwAddress = 0;
  uint32_t m_dwMask = 0;
};

// "a.b.c.d:m.m.m.m".
std::string FormatAddressMask(const AddressMask& entry);
// Reads eight numbers in that form; each is taken modulo 256. Text after them is ignored.
std::optional<AddressMask> ParseAddressMask(std::string_view sText);

// Dotted form of a network-order address.
std::string FormatIp(uint32_t dwAddress);

class AccessList {
 public:
  explicit AccessList(bool bDeny = true) : m_bDeny(bDeny) {}

  // Adding an address that is listed already replaces its mask.
  void Add(const AddressMask& entry) { m_entries[entry.m_dwAddress] = entry.m_dwMask; }
  void Remove(uint32_t dwAddress) { m_entries.erase(dwAddress); }
  void Clear() { m_entries.clear(); }

  // A listed match refuses with Deny set and admits without it; no match does the opposite.
  // So an empty deny list admits everybody and an empty allow list nobody.
  bool Admits(uint32_t dwPeer) const;

  bool Deny() const { return m_bDeny; }
  void SetDeny(bool bDeny) { m_bDeny = bDeny; }
  const std::map<uint32_t, uint32_t>& Entries() const { return m_entries; }

  bool operator==(const AccessList&) const = default;

 private:
  std::map<uint32_t, uint32_t> m_entries;  // address -> mask
  bool m_bDeny;
};

// Names of the values one list is stored under.
struct AccessListNames {
  const char* lpDeny;         // "Deny Incoming"
  const char* lpCount;        // "Incoming IP Count"
  const char* lpEntryPrefix;  // "Incoming IP " (followed by the number)
  size_t cbEntryBuffer;       // entries longer than this (with NUL) are skipped
};

inline constexpr AccessListNames kIncomingList = {"Deny Incoming", "Incoming IP Count", "Incoming IP ", 32};
inline constexpr AccessListNames kOutgoingList = {"Deny Outgoing", "Outgoing IP Count", "Outgoing IP ", 32};
inline constexpr AccessListNames kDnsList = {"Deny Incoming", "IP Count", "IP ", 32};
inline constexpr AccessListNames kMapList = {"Deny Incoming", "IP Count", "IP ", 256};

// Replaces the entries and, when its value reads, the Deny flag. Entries that are missing, too
// long or malformed are skipped; later entries with the same address replace earlier ones.
void LoadAccessList(const KeyReader& reader, const AccessListNames& names, AccessList* pList);
// Writes the Deny flag, the count and the entries numbered from 0.
void StoreAccessList(KeyWriter& writer, const AccessListNames& names, const AccessList& list);

}  // namespace harbix
