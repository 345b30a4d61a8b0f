// Reads a fuzzer's bytes as a little program of choices: numbers, lengths and pieces, so that
// one input can describe several fields at once. Running out yields zeros and empty pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace harbix::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* lpData, size_t cbData) : m_sData(reinterpret_cast<const char*>(lpData), cbData) {}

  bool Empty() const { return m_nPos >= m_sData.size(); }
  uint8_t Byte() { return Empty() ? 0 : static_cast<uint8_t>(m_sData[m_nPos++]); }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
  // A piece of at most cbMax bytes, its length taken from the input first.
  std::string_view Piece(size_t cbMax = 255) {
    const size_t cbWanted = cbMax <= 255 ? Byte() % (cbMax + 1) : U16() % (cbMax + 1);
    const size_t cbTaken = std::min(cbWanted, m_sData.size() - std::min(m_nPos, m_sData.size()));
    const std::string_view sPiece = std::string_view(m_sData).substr(std::min(m_nPos, m_sData.size()), cbTaken);
    m_nPos += cbTaken;
    return sPiece;
  }
  std::string_view Rest() {
    const std::string_view sRest = std::string_view(m_sData).substr(std::min(m_nPos, m_sData.size()));
    m_nPos = m_sData.size();
    return sRest;
  }

 private:
  std::string m_sData;
  size_t m_nPos = 0;
};

}  // namespace harbix::fuzz
