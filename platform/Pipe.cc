#include "platform/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace harbix {

bool Pipe::Open(size_t cbCapacity) {
  Close();
  int hEnds[2];
  if (::pipe2(hEnds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  m_hRead = hEnds[0];
  m_hWrite = hEnds[1];
  ::fcntl(m_hWrite, F_SETPIPE_SZ, static_cast<int>(cbCapacity));  // may be refused: keep what there is
  const int nCapacity = ::fcntl(m_hWrite, F_GETPIPE_SZ);
  m_cbCapacity = nCapacity > 0 ? static_cast<size_t>(nCapacity) : 0;
  if (m_cbCapacity == 0) Close();
  return m_hRead >= 0;
}

void Pipe::Close() {
  if (m_hRead >= 0) ::close(m_hRead);
  if (m_hWrite >= 0) ::close(m_hWrite);
  m_hRead = m_hWrite = -1;
  m_cbCapacity = 0;
}

}  // namespace harbix
