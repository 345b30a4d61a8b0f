#include "common/Autostart.h"

#include <optional>
#include <string>

#include "common/AppPaths.h"
#include "platform/Registry.h"

namespace harbix {
namespace {

bool ValueExists(Hive hive, const char* lpKey, const char* lpValue) {
  std::optional<RegistryKey> key = RegistryKey::Open(hive, lpKey);
  return key && key->GetValue(lpValue).has_value();
}

bool SetText(Hive hive, const char* lpKey, const char* lpValue, const std::string& sText) {
  std::optional<RegistryKey> key = RegistryKey::Open(hive, lpKey);
  return key && key->SetString(lpValue, sText);
}

bool Delete(Hive hive, const char* lpKey, const char* lpValue) {
  std::optional<RegistryKey> key = RegistryKey::Open(hive, lpKey);
  return key && key->DeleteValue(lpValue);
}

}  // namespace

bool EngineAutostartSet() { return ValueExists(Hive::LocalMachine, kRunServicesKey, kEngineAutostartValue); }

bool SetEngineAutostart() {
  std::optional<std::string> sEngine = ReadEngineAppPath();
  return sEngine && SetText(Hive::LocalMachine, kRunServicesKey, kEngineAutostartValue, *sEngine);
}

bool ClearEngineAutostart() { return Delete(Hive::LocalMachine, kRunServicesKey, kEngineAutostartValue); }

bool IconAutostartSet() { return ValueExists(Hive::CurrentUser, kRunKey, kIconAutostartValue); }

bool SetIconAutostart() { return SetText(Hive::CurrentUser, kRunKey, kIconAutostartValue, kIconAutostartCommand); }

bool ClearIconAutostart() { return Delete(Hive::CurrentUser, kRunKey, kIconAutostartValue); }

}  // namespace harbix
