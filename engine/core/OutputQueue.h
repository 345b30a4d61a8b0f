// Bytes waiting to be sent on one socket.
#pragma once

#include <cstddef>
#include <vector>

namespace harbix {

class OutputQueue {
 public:
  // Throws std::bad_alloc when it cannot grow.
  void Append(const char* lpData, size_t cbData);
  const char* Data() const { return m_vBuffer.data() + m_nHead; }
  size_t Size() const { return m_vBuffer.size() - m_nHead; }
  bool Empty() const { return Size() == 0; }
  // Drops bytes that were sent from the front.
  void Consume(size_t cbSent);
  void Clear();

 private:
  std::vector<char> m_vBuffer;
  size_t m_nHead = 0;  // sent bytes at the front, dropped lazily to avoid moving on every send
};

}  // namespace harbix
