#include "platform/NamedLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/HarbixHome.h"

namespace harbix {
namespace {

std::string LockPath(const std::string& sName) { return platform::HarbixSubdir("run") + "/" + sName + ".lock"; }

// The whole file, exclusively.
struct flock WholeFile(short nType) {
  struct flock lock {};
  lock.l_type = nType;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

}  // namespace

bool NamedLock::Acquire(const std::string& sName) {
  Release();
  const int hFile = ::open(LockPath(sName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (hFile < 0) return false;
  struct flock lock = WholeFile(F_WRLCK);
  if (::fcntl(hFile, F_OFD_SETLK, &lock) != 0) {
    ::close(hFile);
    return false;
  }
  char szPid[32];
  const int cbPid = std::snprintf(szPid, sizeof szPid, "%d\n", static_cast<int>(::getpid()));
  if (::ftruncate(hFile, 0) == 0) {
    [[maybe_unused]] ssize_t n = ::pwrite(hFile, szPid, static_cast<size_t>(cbPid), 0);
  }
  m_hFile = hFile;
  return true;
}

void NamedLock::Release() {
  if (m_hFile < 0) return;
  ::close(m_hFile);  // closing the description drops its lock
  m_hFile = -1;
}

bool NamedLock::IsHeld(const std::string& sName) {
  const int hFile = ::open(LockPath(sName).c_str(), O_RDONLY | O_CLOEXEC);
  if (hFile < 0) return false;
  struct flock lock = WholeFile(F_WRLCK);
  const bool bHeld = ::fcntl(hFile, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  ::close(hFile);
  return bHeld;
}

std::optional<pid_t> NamedLock::Holder(const std::string& sName) {
  if (!IsHeld(sName)) return std::nullopt;
  FILE* lpFile = std::fopen(LockPath(sName).c_str(), "re");
  if (!lpFile) return std::nullopt;
  int nPid = 0;
  const bool bRead = std::fscanf(lpFile, "%d", &nPid) == 1 && nPid > 0;
  std::fclose(lpFile);
  if (!bRead) return std::nullopt;
  return static_cast<pid_t>(nPid);
}

}  // namespace harbix
