// A kernel pipe that a relay moves bulk data through with splice: the bytes go from one socket
// to the other without passing through the process.
#pragma once

#include <cstddef>

namespace harbix {

class Pipe {
 public:
  Pipe() = default;
  ~Pipe() { Close(); }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Makes the pipe and asks for a capacity (the kernel may give less); false when no pipe
  // can be made.
  bool Open(size_t cbCapacity);
  void Close();
  explicit operator bool() const { return m_hRead >= 0; }

  int ReadEnd() const { return m_hRead; }
  int WriteEnd() const { return m_hWrite; }
  size_t Capacity() const { return m_cbCapacity; }

 private:
  int m_hRead = -1;
  int m_hWrite = -1;
  size_t m_cbCapacity = 0;
};

}  // namespace harbix
