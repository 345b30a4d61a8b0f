// Named system-wide locks: HARBIX_HOME/run/<name>.lock held with an open-file-description lock,
// which the kernel drops when the holder exits or crashes. The holder writes its process id in.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace harbix {

class NamedLock {
 public:
  NamedLock() = default;
  ~NamedLock() { Release(); }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Creates and takes the lock; false when another holder has it (or it cannot be made).
  bool Acquire(const std::string& sName);
  void Release();
  bool Held() const { return m_hFile >= 0; }

  // Whether somebody holds the lock now; takes nothing, so it never races a starting holder.
  static bool IsHeld(const std::string& sName);
  // The process id the holder wrote, while the lock is held.
  static std::optional<pid_t> Holder(const std::string& sName);

 private:
  int m_hFile = -1;
};

}  // namespace harbix
