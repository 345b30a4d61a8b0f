#include "manager/AppletModule.h"

#include <dlfcn.h>

namespace harbix::manager {

std::optional<std::string> ModuleDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&ModuleDirectory), &info) == 0 || !info.dli_fname) return std::nullopt;
  const std::string sPath = info.dli_fname;
  const size_t nSlash = sPath.rfind('/');
  return nSlash == std::string::npos ? std::string(".") : sPath.substr(0, nSlash);
}

std::string HostProgram() { return ModuleDirectory().value_or(".") + "/harbixmg"; }

}  // namespace harbix::manager
