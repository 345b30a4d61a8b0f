// A proxy request as the HTTP session reads it, cut into pieces as the network may deliver it:
// the line taken without what follows, the header rewritten under the cap.
#include <cstdlib>

#include "common/Text.h"
#include "engine/http/HttpRequest.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const size_t cbPiece = input.Byte() % 64 + 1;
  const std::string_view sStream = input.Rest();
  HttpRequest request;
  size_t nPos = 0;
  while (nPos < sStream.size() && request.Current() == HttpRequest::State::kLine) {
    const std::string_view sWaiting = sStream.substr(nPos, cbPiece);
    const size_t cbTake = LineLength(sWaiting);
    if (cbTake == 0 || cbTake > sWaiting.size()) std::abort();
    request.TakeLine(sWaiting.substr(0, cbTake));
    nPos += cbTake;
  }
  while (nPos < sStream.size() && request.Current() == HttpRequest::State::kHeader) {
    request.TakeHeader(sStream.substr(nPos, cbPiece));
    nPos += cbPiece;
  }
  if (request.Current() != HttpRequest::State::kComplete) return 0;
  const std::string sForwarded = request.TakeForwarded();
  // The origin gets one line per header and a request line in origin form.
  if (!request.Path().starts_with("/") && !request.Path().empty()) std::abort();
  if (sForwarded.find("\nProxy-Server: Quillbay Harbix Proxy Server/1.21") == std::string::npos) std::abort();
  // In the header only (what follows it is the client's body, relayed as it came), and at a
  // line's start: a header whose name merely ends so (x-proxy-authorization) is another one.
  const std::optional<HeaderEnd> end = FindHeaderEnd(sForwarded);
  if (!end) std::abort();
  if (sForwarded.substr(0, end->m_nPos).find("\nproxy-authorization:") != std::string::npos) std::abort();
  if (request.ClientVersion() != "HTTP/1.0" && request.ClientVersion() != "HTTP/1.1") std::abort();
  return 0;
}
