// The beginning of an origin server's response, watched as the relay carries it, in pieces.
#include <cstdlib>

#include "engine/http/HttpResponseWatcher.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const size_t cbPiece = input.Byte() % 64 + 1;
  const std::string_view sStream = input.Rest();
  int nVerdicts = 0;
  HttpResponseWatcher watcher(1000, [&](HttpResponseWatcher::Verdict) { ++nVerdicts; });
  for (size_t nPos = 0; nPos < sStream.size(); nPos += cbPiece) {
    const std::string_view sPiece = sStream.substr(nPos, cbPiece);
    watcher.OnBytes(sPiece.data(), sPiece.size());
  }
  watcher.OnEnd(false);
  if (nVerdicts != 1) std::abort();
  if (watcher.Current() == HttpResponseWatcher::Verdict::kStore) {
    const HttpResponseWatcher::Response& response = watcher.Result();
    if (response.m_nStatus != 200 || response.m_cbHeader > watcher.Seen().size()) std::abort();
  }
  return 0;
}
