#include "common/KeyReader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/Text.h"

namespace harbix {
namespace {

uint32_t LittleEndian(const std::string& sData) {
  uint32_t dwValue = 0;
  for (size_t i = sData.size(); i-- > 0;) dwValue = (dwValue << 8) | static_cast<unsigned char>(sData[i]);
  return dwValue;
}

}  // namespace

std::string ManagerKeyPath(std::string_view sSubkey) {
  std::string sPath(kManagerRoot);
  if (!sSubkey.empty()) {
    sPath += '\\';
    sPath += sSubkey;
  }
  return sPath;
}

bool ParseIndex(std::string_view sDigits, uint32_t* pIndex) {
  if (sDigits.empty() || sDigits.size() > 10 || (sDigits.size() > 1 && sDigits[0] == '0')) return false;
  uint64_t nIndex = 0;
  for (char c : sDigits) {
    if (c < '0' || c > '9') return false;
    nIndex = nIndex * 10 + static_cast<uint64_t>(c - '0');
  }
  if (nIndex > UINT32_MAX) return false;
  *pIndex = static_cast<uint32_t>(nIndex);
  return true;
}

KeyReader::KeyReader(const RegistryKey& key) : KeyReader(key.Values()) {}

KeyReader::KeyReader(std::vector<RegistryValue> vValues) {
  for (RegistryValue& value : vValues) {
    std::string sKey = ToLower(value.sName);
    m_values.insert_or_assign(std::move(sKey), std::move(value));
  }
}

const RegistryValue* KeyReader::Find(std::string_view sName) const {
  auto it = m_values.find(ToLower(sName));
  return it == m_values.end() ? nullptr : &it->second;
}

bool KeyReader::Dword(std::string_view sName, uint32_t* pValue) const {
  const RegistryValue* lpValue = Find(sName);
  if (!lpValue || lpValue->sData.size() != 4) return false;
  *pValue = LittleEndian(lpValue->sData);
  return true;
}

bool KeyReader::Flag(std::string_view sName, bool* pValue) const {
  uint32_t dwValue = 0;
  if (!Dword(sName, &dwValue)) return false;
  *pValue = dwValue != 0;
  return true;
}

bool KeyReader::Number(std::string_view sName, int32_t* pValue) const {
  uint32_t dwValue = 0;
  if (!Dword(sName, &dwValue)) return false;
  *pValue = static_cast<int32_t>(dwValue);
  return true;
}

bool KeyReader::Port(std::string_view sName, uint16_t* pValue) const {
  const RegistryValue* lpValue = Find(sName);
  if (!lpValue || lpValue->sData.size() != 2) return false;
  *pValue = static_cast<uint16_t>(LittleEndian(lpValue->sData));
  return true;
}

bool KeyReader::TextOf(const RegistryValue& value, size_t cbBuffer, std::string* pValue) {
  if (value.sData.size() > cbBuffer) return false;
  const size_t cbText = std::strlen(value.sData.c_str());
  // A value that fills the buffer without its terminator is longer than the buffer can hold as
  // text: taken as it is, it would be one character beyond what every reader of it allows.
  if (cbText >= cbBuffer) return false;
  *pValue = value.sData.substr(0, cbText);
  return true;
}

bool KeyReader::Text(std::string_view sName, size_t cbBuffer, std::string* pValue) const {
  const RegistryValue* lpValue = Find(sName);
  return lpValue && TextOf(*lpValue, cbBuffer, pValue);
}

bool KeyReader::Bytes(std::string_view sName, size_t cbBuffer, std::string* pValue) const {
  const RegistryValue* lpValue = Find(sName);
  if (!lpValue || lpValue->sData.size() > cbBuffer) return false;
  *pValue = lpValue->sData;
  return true;
}

std::vector<std::pair<uint32_t, const RegistryValue*>> KeyReader::Numbered(std::string_view sPrefix,
                                                                            uint32_t nCount) const {
  std::vector<std::pair<uint32_t, const RegistryValue*>> vFound;
  const std::string sLowerPrefix = ToLower(sPrefix);
  for (auto it = m_values.lower_bound(sLowerPrefix); it != m_values.end(); ++it) {
    const std::string& sName = it->first;
    if (sName.compare(0, sLowerPrefix.size(), sLowerPrefix) != 0) break;
    uint32_t nIndex = 0;
    if (!ParseIndex(std::string_view(sName).substr(sLowerPrefix.size()), &nIndex)) continue;
    if (nIndex < nCount) vFound.emplace_back(nIndex, &it->second);
  }
  std::sort(vFound.begin(), vFound.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return vFound;
}

void KeyWriter::Port(std::string_view sName, uint16_t wValue) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(wValue), static_cast<unsigned char>(wValue >> 8)};
  m_key.SetBinary(sName, bytes, sizeof bytes);
}

KeyReader ReadManagerKey(std::string_view sSubkey) {
  std::optional<RegistryKey> key = RegistryKey::Create(Hive::LocalMachine, ManagerKeyPath(sSubkey));
  return key ? KeyReader(*key) : KeyReader();
}

std::optional<KeyWriter> WriteManagerKey(std::string_view sSubkey) {
  std::optional<RegistryKey> key = RegistryKey::Create(Hive::LocalMachine, ManagerKeyPath(sSubkey));
  if (!key) return std::nullopt;
  return KeyWriter(std::move(*key));
}

}  // namespace harbix
