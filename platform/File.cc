#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace harbix {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    m_hFile = other.Release();
  }
  return *this;
}

File File::OpenRead(const std::string& sPath) {
  File file;
  file.m_hFile = ::open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
  return file;
}

File File::Create(const std::string& sPath, unsigned nMode) {
  File file;
  file.m_hFile = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(nMode));
  return file;
}

File File::CreateUnique(const std::string& sDir, const std::string& sPrefix, const std::string& sExtension,
                        std::string* pPath) {
  static std::atomic<uint32_t> dwSerial{static_cast<uint32_t>(::getpid()) << 16};
  for (int nTry = 0; nTry < 1000; ++nTry) {
    char szHex[16];
    std::snprintf(szHex, sizeof szHex, "%X", dwSerial.fetch_add(1) ^ static_cast<uint32_t>(std::random_device()()));
    const std::string sPath = sDir + "/" + sPrefix + szHex + sExtension;
    File file;
    file.m_hFile = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file) {
      *pPath = sPath;
      return file;
    }
    if (errno != EEXIST) break;
  }
  return File();
}

std::string File::TempDir() {
  const char* lpDir = std::getenv("TMPDIR");
  return lpDir && *lpDir ? lpDir : "/tmp";
}

bool File::WriteAll(const void* lpData, size_t cbData) {
  const char* lpNext = static_cast<const char*>(lpData);
  while (cbData > 0) {
    const ssize_t nWritten = ::write(m_hFile, lpNext, cbData);
    if (nWritten < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    lpNext += nWritten;
    cbData -= static_cast<size_t>(nWritten);
  }
  return true;
}

long File::ReadAt(void* lpBuffer, size_t cbBuffer, int64_t nOffset) const {
  return ::pread(m_hFile, lpBuffer, cbBuffer, static_cast<off_t>(nOffset));
}

int64_t File::Size() const {
  struct stat st {};
  if (::fstat(m_hFile, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

void File::ReadAhead(int64_t nOffset, size_t cbLength) const {
  ::posix_fadvise(m_hFile, static_cast<off_t>(nOffset), static_cast<off_t>(cbLength), POSIX_FADV_WILLNEED);
}

void File::Close() {
  if (m_hFile >= 0) ::close(m_hFile);
  m_hFile = -1;
}

int File::Release() {
  const int hFile = m_hFile;
  m_hFile = -1;
  return hFile;
}

}  // namespace harbix
