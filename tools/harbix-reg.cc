// harbix-reg: reads and writes the configuration store from the command line, for
// administrators of headless machines and for scripts.
//
//   harbix-reg list KEY
//   harbix-reg get KEY NAME
//   harbix-reg set KEY NAME sz|dword|binary DATA
//   harbix-reg delete KEY NAME
//
// Exit status: 0 done, 1 key or value missing, 2 bad usage or input (nothing written).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace {

using harbix::RegistryKey;

constexpr int kExitMissing = 1;
constexpr int kExitUsage = 2;

int Usage() {
  std::fputs(
      "usage: harbix-reg list KEY\n"
      "       harbix-reg get KEY NAME\n"
      "       harbix-reg set KEY NAME sz|dword|binary DATA\n"
      "       harbix-reg delete KEY NAME\n"
      "KEY starts with its hive: HKLM (HKEY_LOCAL_MACHINE), HKCU (HKEY_CURRENT_USER) or\n"
      "HKCR (HKEY_CLASSES_ROOT), e.g. 'HKLM\\Software\\Quillbay\\Harbix\\Manager\\HTTP'.\n",
      stderr);
  return kExitUsage;
}

int Fail(int nStatus, const std::string& sMessage) {
  std::fprintf(stderr, "harbix-reg: %s\n", sMessage.c_str());
  return nStatus;
}

const char* TypeName(uint32_t dwType) {
  switch (dwType) {
    case harbix::REG_SZ: return "sz";
    case harbix::REG_DWORD: return "dword";
    case harbix::REG_BINARY: return "binary";
    default: return nullptr;
  }
}

// DATA in the form that "set" takes: sz without its NUL, dword as unsigned decimal, binary as
// lower-case hex. A dword that is not 4 bytes wide (written by hand) shows as hex.
std::string FormatData(const harbix::RegistryValue& value) {
  if (value.dwType == harbix::REG_SZ) {
    std::string sText = value.sData;
    if (!sText.empty() && sText.back() == '\0') sText.pop_back();
    return sText;
  }
  if (value.dwType == harbix::REG_DWORD && value.sData.size() == 4) {
    uint32_t dwValue = 0;
    for (int i = 3; i >= 0; --i) dwValue = (dwValue << 8) | static_cast<unsigned char>(value.sData[i]);
    return std::to_string(dwValue);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string sHex;
  for (unsigned char c : value.sData) {
    sHex.push_back(kHex[c >> 4]);
    sHex.push_back(kHex[c & 15]);
  }
  return sHex;
}

std::string TypeText(uint32_t dwType) {
  const char* lpName = TypeName(dwType);
  return lpName ? lpName : "type" + std::to_string(dwType);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal (a leading minus stores the two's complement) or 0x-hex, 32 bits at most.
std::optional<uint32_t> ParseDword(const std::string& sText) {
  if (sText.empty()) return std::nullopt;
  const bool bHex = sText.size() > 2 && sText[0] == '0' && (sText[1] == 'x' || sText[1] == 'X');
  const bool bNegative = !bHex && sText[0] == '-';
  const size_t nStart = bHex ? 2 : (bNegative ? 1 : 0);
  if (nStart >= sText.size()) return std::nullopt;
  uint64_t nValue = 0;
  for (size_t i = nStart; i < sText.size(); ++i) {
    const int nDigit = HexDigit(sText[i]);
    if (nDigit < 0 || (!bHex && nDigit > 9)) return std::nullopt;
    nValue = nValue * (bHex ? 16 : 10) + static_cast<uint64_t>(nDigit);
    if (nValue > UINT32_MAX) return std::nullopt;
  }
  if (bNegative) {
    if (nValue > 0x80000000ULL) return std::nullopt;
    return static_cast<uint32_t>(-static_cast<int64_t>(nValue));
  }
  return static_cast<uint32_t>(nValue);
}

std::optional<std::string> ParseHex(const std::string& sText) {
  if (sText.size() % 2) return std::nullopt;
  std::string sBytes;
  for (size_t i = 0; i < sText.size(); i += 2) {
    const int nHigh = HexDigit(sText[i]);
    const int nLow = HexDigit(sText[i + 1]);
    if (nHigh < 0 || nLow < 0) return std::nullopt;
    sBytes.push_back(static_cast<char>(nHigh * 16 + nLow));
  }
  return sBytes;
}

int List(const std::string& sKey) {
  harbix::Hive hive;
  std::string sPath;
  if (!harbix::ParseKeyPath(sKey, &hive, &sPath)) return Fail(kExitUsage, "unknown hive or bad key: " + sKey);
  std::optional<RegistryKey> key = RegistryKey::Open(hive, sPath);
  if (!key) return Fail(kExitMissing, "no such key: " + sKey);
  for (const harbix::RegistryValue& value : key->Values()) {
    std::printf("%s\t%s\t%s\n", value.sName.c_str(), TypeText(value.dwType).c_str(), FormatData(value).c_str());
  }
  // Sub-keys end in "\", the way a key path continues, so they never look like values.
  for (const std::string& sSubkey : key->SubKeys()) std::printf("%s\\\n", sSubkey.c_str());
  return 0;
}

int Get(const std::string& sKey, const std::string& sName) {
  harbix::Hive hive;
  std::string sPath;
  if (!harbix::ParseKeyPath(sKey, &hive, &sPath)) return Fail(kExitUsage, "unknown hive or bad key: " + sKey);
  std::optional<RegistryKey> key = RegistryKey::Open(hive, sPath);
  if (!key) return Fail(kExitMissing, "no such key: " + sKey);
  std::optional<harbix::RegistryValue> value = key->GetValue(sName);
  if (!value) return Fail(kExitMissing, "no such value: " + sName);
  std::printf("%s\n", FormatData(*value).c_str());
  return 0;
}

int Set(const std::string& sKey, const std::string& sName, const std::string& sType, const std::string& sData) {
  harbix::Hive hive;
  std::string sPath;
  if (!harbix::ParseKeyPath(sKey, &hive, &sPath)) return Fail(kExitUsage, "unknown hive or bad key: " + sKey);
  // Everything is checked before the key is created, so bad input writes nothing.
  uint32_t dwType;
  std::string sBytes;
  if (sType == "sz") {
    dwType = harbix::REG_SZ;
    sBytes = sData + '\0';
  } else if (sType == "dword") {
    std::optional<uint32_t> dwValue = ParseDword(sData);
    if (!dwValue) return Fail(kExitUsage, "not a 32-bit number (decimal or 0x-hex): " + sData);
    dwType = harbix::REG_DWORD;
    for (int i = 0; i < 4; ++i) sBytes.push_back(static_cast<char>(*dwValue >> (8 * i)));
  } else if (sType == "binary") {
    std::optional<std::string> sHex = ParseHex(sData);
    if (!sHex) return Fail(kExitUsage, "not an even number of hex digits: " + sData);
    dwType = harbix::REG_BINARY;
    sBytes = *sHex;
  } else {
    return Fail(kExitUsage, "unknown type '" + sType + "' (sz, dword or binary)");
  }
  std::optional<RegistryKey> key = RegistryKey::Create(hive, sPath);
  if (!key) return Fail(kExitUsage, "cannot open or create the key (is HARBIX_HOME writable?): " + sKey);
  if (!key->SetValue(sName, dwType, sBytes.data(), static_cast<uint32_t>(sBytes.size()))) {
    return Fail(kExitUsage, "cannot write the value: " + sName);
  }
  return 0;
}

int Delete(const std::string& sKey, const std::string& sName) {
  harbix::Hive hive;
  std::string sPath;
  if (!harbix::ParseKeyPath(sKey, &hive, &sPath)) return Fail(kExitUsage, "unknown hive or bad key: " + sKey);
  std::optional<RegistryKey> key = RegistryKey::Open(hive, sPath);
  if (!key) return Fail(kExitMissing, "no such key: " + sKey);
  if (!key->DeleteValue(sName)) return Fail(kExitMissing, "no such value: " + sName);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> vArgs(argv + 1, argv + argc);
  if (vArgs.empty()) return Usage();
  const std::string& sCommand = vArgs[0];
  if (sCommand == "list" && vArgs.size() == 2) return List(vArgs[1]);
  if (sCommand == "get" && vArgs.size() == 3) return Get(vArgs[1], vArgs[2]);
  if (sCommand == "set" && vArgs.size() == 5) return Set(vArgs[1], vArgs[2], vArgs[3], vArgs[4]);
  if (sCommand == "delete" && vArgs.size() == 3) return Delete(vArgs[1], vArgs[2]);
  return Usage();
}
