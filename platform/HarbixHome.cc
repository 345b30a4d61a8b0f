#include "platform/HarbixHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace harbix::platform {

bool MakeDirectories(const std::string& sPath, unsigned uMode) {
  if (sPath.empty()) return false;
  for (size_t nPos = 1; nPos <= sPath.size(); ++nPos) {
    if (nPos != sPath.size() && sPath[nPos] != '/') continue;
    const std::string sPrefix = sPath.substr(0, nPos);
    if (::mkdir(sPrefix.c_str(), uMode) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(sPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string HarbixHome() {
  std::string sHome;
  if (const char* lpEnv = std::getenv("HARBIX_HOME"); lpEnv && *lpEnv) {
    sHome = lpEnv;
  } else if (::geteuid() == 0) {
    sHome = "/var/lib/harbix";
  } else if (const char* lpState = std::getenv("XDG_STATE_HOME"); lpState && *lpState) {
    sHome = std::string(lpState) + "/harbix";
  } else {
    const char* lpUserHome = std::getenv("HOME");
    sHome = std::string(lpUserHome ? lpUserHome : "/tmp") + "/.local/state/harbix";
  }
  while (sHome.size() > 1 && sHome.back() == '/') sHome.pop_back();
  MakeDirectories(sHome, 0700);
  return sHome;
}

std::string HarbixSubdir(const std::string& sName) {
  std::string sDir = HarbixHome() + "/" + sName;
  MakeDirectories(sDir, 0700);
  return sDir;
}

}  // namespace harbix::platform
