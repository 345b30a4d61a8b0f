#include "engine/core/LineReader.h"

namespace harbix {

bool LineReader::Take(std::string_view sData) {
  if (m_bTooLong) return false;
  m_sBuffer.append(sData);
  while (m_nScanned < m_sBuffer.size()) {
    const size_t nFeed = m_sBuffer.find('\n', m_nScanned);
    const size_t nEnd = nFeed == std::string::npos ? m_sBuffer.size() : nFeed;
    if (nEnd - m_nLineStart > m_cbMaxLine) {
      m_bTooLong = true;
      return false;
    }
    if (nFeed == std::string::npos) {
      m_nScanned = m_sBuffer.size();
      break;
    }
    m_nLineStart = m_nScanned = nFeed + 1;
  }
  return true;
}

bool LineReader::Next(std::string* pLine) {
  if (m_nHead >= m_nLineStart) return false;  // only checked, complete lines are handed out
  const size_t nFeed = m_sBuffer.find('\n', m_nHead);
  pLine->assign(m_sBuffer, m_nHead, nFeed - m_nHead);
  m_nHead = nFeed + 1;
  // The taken front goes once it outweighs what stays, so a long exchange costs no copies per line.
  if (m_nHead >= m_sBuffer.size() / 2) {
    m_sBuffer.erase(0, m_nHead);
    m_nLineStart -= m_nHead;
    m_nScanned -= m_nHead;
    m_nHead = 0;
  }
  return true;
}

}  // namespace harbix
