// Text that arrives in pieces, cut into lines at each line feed, under a cap on the length of
// one line: a peer that never sends a line feed must not make the buffer grow without end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace harbix {

class LineReader {
 public:
  explicit LineReader(size_t cbMaxLine) : m_cbMaxLine(cbMaxLine) {}

  // Appends what was read; false once a line (complete or not) has grown past the cap, after
  // which nothing more is taken.
  bool Take(std::string_view sData);
  // Takes the next complete line, without its line feed; false when no line is complete.
  bool Next(std::string* pLine);
  bool TooLong() const { return m_bTooLong; }
  // Bytes held: complete lines not taken yet and the start of the next one.
  size_t Buffered() const { return m_sBuffer.size() - m_nHead; }

 private:
  std::string m_sBuffer;
  size_t m_nHead = 0;       // where the next line starts; what is before it was taken
  size_t m_nLineStart = 0;  // where the line being checked starts
  size_t m_nScanned = 0;    // everything before this was looked at for a line feed
  const size_t m_cbMaxLine;
  bool m_bTooLong = false;
};

}  // namespace harbix
