// A file that owns its descriptor (closed on destruction), opened without blocking signals or
// leaking into child processes. Failures return false or -1 with the reason in errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace harbix {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : m_hFile(other.Release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static File OpenRead(const std::string& sPath);
  // Creates or truncates, with the given permission bits.
  static File Create(const std::string& sPath, unsigned nMode = 0644);
  // A new file under a name nobody uses yet: sDir + "/" + sPrefix, hexadecimal digits and
  // sExtension (GetTempFileName's form); its path goes to *pPath.
  static File CreateUnique(const std::string& sDir, const std::string& sPrefix, const std::string& sExtension,
                           std::string* pPath);
  // The system's folder for temporary files ($TMPDIR, else /tmp).
  static std::string TempDir();

  int Fd() const { return m_hFile; }
  bool Valid() const { return m_hFile >= 0; }
  explicit operator bool() const { return Valid(); }

  // The whole of cbData, repeating short writes; false on failure.
  bool WriteAll(const void* lpData, size_t cbData);
  long ReadAt(void* lpBuffer, size_t cbBuffer, int64_t nOffset) const;
  // -1 when it cannot be told.
  int64_t Size() const;
  // Asks the kernel to read this range ahead, so that a later send from it need not wait.
  void ReadAhead(int64_t nOffset, size_t cbLength) const;
  void Close();
  int Release();

 private:
  int m_hFile = -1;
};

}  // namespace harbix
