// A fresh HARBIX_HOME for one test, removed afterwards.
#pragma once

#include <string>

namespace harbix::test {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& Path() const { return m_sPath; }

 private:
  std::string m_sPath;
  std::string m_sPrevious;
  bool m_bHadPrevious = false;
};

// Removes a directory tree; quiet about what is already gone.
void RemoveTree(const std::string& sPath);

}  // namespace harbix::test
