#include "tests/support/TempHome.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/Registry.h"

namespace harbix::test {

TempHome::TempHome() {
  const char* lpTmp = std::getenv("TMPDIR");
  std::string sTemplate = std::string(lpTmp && *lpTmp ? lpTmp : "/tmp") + "/harbix-test-XXXXXX";
  if (!::mkdtemp(sTemplate.data())) throw std::runtime_error("mkdtemp failed");
  m_sPath = sTemplate;
  if (const char* lpOld = std::getenv("HARBIX_HOME")) {
    m_bHadPrevious = true;
    m_sPrevious = lpOld;
  }
  ::setenv("HARBIX_HOME", m_sPath.c_str(), 1);
  CloseRegistry();  // the next use opens the store of this home
}

TempHome::~TempHome() {
  CloseRegistry();
  if (m_bHadPrevious) {
    ::setenv("HARBIX_HOME", m_sPrevious.c_str(), 1);
  } else {
    ::unsetenv("HARBIX_HOME");
  }
  RemoveTree(m_sPath);
}

void RemoveTree(const std::string& sPath) {
  std::error_code error;
  std::filesystem::remove_all(sPath, error);
}

}  // namespace harbix::test
