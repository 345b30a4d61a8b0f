// A CONNECT request as the tunnel reads it, cut into pieces as the network may deliver it: the
// line taken without what follows, the header skipped under the cap, the rest kept whole.
#include <cstdlib>

#include "common/Text.h"
#include "engine/proxies/TunnelSession.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const size_t cbPiece = input.Byte() % 64 + 1;  // how the bytes arrive
  const std::string_view sStream = input.Rest();
  TunnelRequestReader reader;
  size_t nPos = 0;
  // The line: what waits is peeked, and only the line is taken.
  while (nPos < sStream.size()) {
    const std::string_view sWaiting = sStream.substr(nPos, cbPiece);
    const size_t cbTake = LineLength(sWaiting);
    if (cbTake == 0 || cbTake > sWaiting.size()) std::abort();
    nPos += cbTake;
    const TunnelRequestReader::State state = reader.TakeLine(sWaiting.substr(0, cbTake));
    if (state == TunnelRequestReader::State::kTooLong) return 0;
    if (state == TunnelRequestReader::State::kHeader) break;
  }
  if (nPos == sStream.size() && (reader.Line().empty() || reader.Line().back() != '\n')) return 0;
  const TunnelSession::Request request = TunnelSession::ParseRequestLine(reader.Line());
  if (!request.m_bValid) return 0;
  if (request.m_sVersion != "HTTP/1.0" && request.m_sVersion != "HTTP/1.1") std::abort();
  reader.StartHeader(request.m_bCarriageReturn);
  const size_t nHeaderStart = nPos;
  while (nPos < sStream.size()) {
    const std::string_view sRead = sStream.substr(nPos, cbPiece);
    nPos += sRead.size();
    const TunnelRequestReader::State state = reader.TakeHeader(sRead);
    if (state == TunnelRequestReader::State::kTooLong) return 0;
    if (state == TunnelRequestReader::State::kComplete) {
      // What follows the blank line is exactly the tail of what was read.
      const std::string sRest = reader.TakeRest();
      if (sRest.size() > nPos - nHeaderStart || sStream.substr(nPos - sRest.size(), sRest.size()) != sRest) std::abort();
      return 0;
    }
  }
  return 0;
}
