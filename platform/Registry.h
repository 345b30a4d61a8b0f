// The configuration store: a registry of keys and typed values shared by the engine and the
// manager, kept in an SQLite database (HARBIX_HOME/registry.db) so that one process can write
// while another reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harbix {

// Value types, with the numbers the registry has always used for them.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

enum class Hive { LocalMachine, CurrentUser, ClassesRoot };

// "HKEY_LOCAL_MACHINE" and so on.
const char* HiveName(Hive hive);

// Splits "HKLM\Software\..." (or HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER, HKCR,
// HKEY_CLASSES_ROOT) into its hive and the path below it. Fails on an unknown hive or on an
// empty path component.
bool ParseKeyPath(std::string_view sFull, Hive* pHive, std::string* pPath);

struct RegistryValue {
  std::string sName;
  uint32_t dwType = REG_NONE;
  std::string sData;  // the stored bytes; a REG_SZ keeps its terminating NUL
};

// An open key. Keys and value names compare without regard to case; "\" separates levels.
class RegistryKey {
 public:
  // Opens an existing key; nullopt when it (or the database) is missing.
  static std::optional<RegistryKey> Open(Hive hive, std::string_view sPath);
  // Opens a key, creating it and every missing parent.
  static std::optional<RegistryKey> Create(Hive hive, std::string_view sPath);

  // The classic query: *pcbData holds the buffer size on entry and the stored size on return.
  // Fails when the value is missing or when lpData is given and the stored size exceeds the
  // buffer (nothing is copied then). lpData may be null to ask for the size alone.
  bool QueryValue(std::string_view sName, uint32_t* pdwType, void* lpData, uint32_t* pcbData) const;
  std::optional<RegistryValue> GetValue(std::string_view sName) const;

  // Each write is one transaction; the last writer wins.
  bool SetValue(std::string_view sName, uint32_t dwType, const void* lpData, uint32_t cbData);
  bool SetString(std::string_view sName, std::string_view sText);  // stores the text plus NUL
  bool SetDword(std::string_view sName, uint32_t dwValue);
  bool SetBinary(std::string_view sName, const void* lpData, uint32_t cbData);
  bool DeleteValue(std::string_view sName);

  // Sub-key names and values, sorted by name (case folded).
  std::vector<std::string> SubKeys() const;
  std::vector<RegistryValue> Values() const;

  Hive GetHive() const { return m_hive; }
  const std::string& Path() const { return m_sPath; }

 private:
  RegistryKey(Hive hive, std::string sPath, int64_t nId) : m_hive(hive), m_sPath(std::move(sPath)), m_nId(nId) {}

  Hive m_hive;
  std::string m_sPath;
  int64_t m_nId;
};

// Closes the process's connection to the database; the next use opens it again under the then
// current HARBIX_HOME.
void CloseRegistry();

}  // namespace harbix
