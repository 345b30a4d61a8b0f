// Typed reads and writes of one configuration key, with the widths every value has always had:
// flags, numbers, counts and addresses are 4-byte values, ports exactly 2 bytes, texts carry
// their NUL. A value that is missing or does not fit its width leaves the reader's default.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace harbix {

// The root of all Harbix settings, under HKEY_LOCAL_MACHINE.
inline constexpr const char* kManagerRoot = "Software\\Quillbay\\Harbix\\Manager";

// "Software\Quillbay\Harbix\Manager\<sSubkey>".
std::string ManagerKeyPath(std::string_view sSubkey);

// All values of a key, read in one go, then looked up by name without regard to case.
class KeyReader {
 public:
  KeyReader() = default;
  explicit KeyReader(const RegistryKey& key);
  // Values in hand (what a key would hold); a later one of the same name wins.
  explicit KeyReader(std::vector<RegistryValue> vValues);

  bool Dword(std::string_view sName, uint32_t* pValue) const;
  bool Flag(std::string_view sName, bool* pValue) const;
  bool Number(std::string_view sName, int32_t* pValue) const;
  bool Port(std::string_view sName, uint16_t* pValue) const;
  // A text read into a buffer of cbBuffer bytes: fails when the stored value (with its NUL)
  // is larger; the text ends at its first NUL.
  bool Text(std::string_view sName, size_t cbBuffer, std::string* pValue) const;
  // The same read on a value in hand (one that Numbered found).
  static bool TextOf(const RegistryValue& value, size_t cbBuffer, std::string* pValue);
  // Raw bytes read into a buffer of cbBuffer bytes.
  bool Bytes(std::string_view sName, size_t cbBuffer, std::string* pValue) const;

  // The values named by "<sPrefix><n>" for n = 0 .. nCount - 1 that exist, in the order of n.
  // Works from the values present, so a huge count costs nothing.
  std::vector<std::pair<uint32_t, const RegistryValue*>> Numbered(std::string_view sPrefix, uint32_t nCount) const;

 private:
  const RegistryValue* Find(std::string_view sName) const;

  std::map<std::string, RegistryValue> m_values;  // keyed by the lower-cased name
};

// Writes with the widths above.
class KeyWriter {
 public:
  explicit KeyWriter(RegistryKey key) : m_key(std::move(key)) {}

  void Dword(std::string_view sName, uint32_t dwValue) { m_key.SetDword(sName, dwValue); }
  void Flag(std::string_view sName, bool bValue) { m_key.SetDword(sName, bValue ? 1 : 0); }
  void Number(std::string_view sName, int32_t nValue) { m_key.SetDword(sName, static_cast<uint32_t>(nValue)); }
  void Port(std::string_view sName, uint16_t wValue);
  void Text(std::string_view sName, std::string_view sValue) { m_key.SetString(sName, sValue); }
  void Bytes(std::string_view sName, std::string_view sValue) {
    m_key.SetBinary(sName, sValue.data(), static_cast<uint32_t>(sValue.size()));
  }

 private:
  RegistryKey m_key;
};

// Opens (creating) a key below the manager root and returns its reader; an empty reader, so
// that every default stays, when the key cannot be created.
KeyReader ReadManagerKey(std::string_view sSubkey);
// A writer for a key below the manager root; nullopt when the key cannot be created.
std::optional<KeyWriter> WriteManagerKey(std::string_view sSubkey);

// A number spelled as "%u" spells it: digits only, no sign, no leading zero, at most 32 bits.
bool ParseIndex(std::string_view sDigits, uint32_t* pIndex);

}  // namespace harbix
