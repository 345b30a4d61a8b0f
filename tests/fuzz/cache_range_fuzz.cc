// A client's Range value against a body of some size: every range lies inside the body, and the
// reply sends exactly the bytes its header announces.
#include <cstdlib>

#include "engine/http/CacheReply.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const uint64_t qwSize = input.U32() % (1u << 20);
  const std::string_view sRange = input.Rest();
  for (const ByteRange& range : ParseRanges(sRange, qwSize)) {
    if (range.m_qwLength == 0 || range.m_qwFirst + range.m_qwLength > qwSize) std::abort();
  }
  const CacheReply reply = BuildCacheReply("HTTP/1.1", CachedBody{qwSize, 0, -1, "text/html"}, sRange, 1000);
  for (const CacheReply::Piece& piece : reply.m_vPieces) {
    if (piece.m_qwFirst + piece.m_qwLength > qwSize) std::abort();
  }
  return 0;
}
