#include "common/AppPaths.h"

#include "common/KeyReader.h"
#include "platform/Registry.h"

namespace harbix {
namespace {
constexpr size_t kPathBuffer = 4096;
}

void WriteEngineAppPath(const std::string& sProgram) {
  std::optional<RegistryKey> key = RegistryKey::Create(Hive::LocalMachine, kEngineAppPathKey);
  if (!key) return;
  key->SetString("", sProgram);
  const size_t nSlash = sProgram.rfind('/');
  key->SetString("Path", nSlash == std::string::npos ? std::string() : sProgram.substr(0, nSlash));
}

std::optional<std::string> ReadEngineAppPath() {
  std::optional<RegistryKey> key = RegistryKey::Open(Hive::LocalMachine, kEngineAppPathKey);
  if (!key) return std::nullopt;
  std::string sProgram;
  if (!KeyReader(*key).Text("", kPathBuffer, &sProgram) || sProgram.empty()) return std::nullopt;
  return sProgram;
}

}  // namespace harbix
