#include "engine/core/OutputQueue.h"

#include <cstring>

namespace harbix {
namespace {
// An idle queue gives back what a burst made it grow to.
constexpr size_t kKeptCapacity = 64 * 1024;
}  // namespace

void OutputQueue::Append(const char* lpData, size_t cbData) {
  if (cbData == 0) return;
  if (m_nHead > 0 && m_nHead >= m_vBuffer.size() / 2) {
    m_vBuffer.erase(m_vBuffer.begin(), m_vBuffer.begin() + static_cast<std::ptrdiff_t>(m_nHead));
    m_nHead = 0;
  }
  m_vBuffer.insert(m_vBuffer.end(), lpData, lpData + cbData);
}

void OutputQueue::Consume(size_t cbSent) {
  m_nHead += cbSent;
  if (m_nHead >= m_vBuffer.size()) Clear();
}

void OutputQueue::Clear() {
  m_vBuffer.clear();
  m_nHead = 0;
  if (m_vBuffer.capacity() > kKeptCapacity) m_vBuffer.shrink_to_fit();
}

}  // namespace harbix
