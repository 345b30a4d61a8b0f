// A SOCKS client's negotiation as the session reads it, in pieces as the network may deliver
// them, under settings the input chooses: every stage of both versions. The buffer never holds
// more than one message, what follows a complete request is exactly the tail of the stream, and
// nothing is taken once the negotiation has decided.
#include <cstdlib>

#include "engine/proxies/SocksNegotiation.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  fuzz::FuzzInput input(lpData, cbData);
  const uint8_t bChoices = input.Byte();
  SocksSettings settings;
  settings.m_bAllowAnonymous = bChoices & 1;
  settings.m_nVersionType = (bChoices >> 1) % 3;
  settings.m_users = {{"alice", "Secret"}, {"u", ""}, {std::string(255, 'n'), std::string(255, 'p')}};
  const size_t cbPiece = input.Byte() % 64 + 1;
  const std::string_view sStream = input.Rest();
  SocksNegotiation negotiation(settings);
  size_t nPos = 0;
  size_t cbOutput = 0;
  SocksNegotiation::State state = SocksNegotiation::State::kReading;
  while (nPos < sStream.size() && state == SocksNegotiation::State::kReading) {
    const std::string_view sPiece = sStream.substr(nPos, cbPiece);
    nPos += sPiece.size();
    state = negotiation.Feed(sPiece);
    cbOutput += negotiation.TakeOutput().size();
    if (negotiation.Stage() < 0 || negotiation.Stage() > 3) std::abort();
  }
  // A method choice, an authentication status and a reply at most.
  if (cbOutput > 2 + 2 + 10) std::abort();
  if (state == SocksNegotiation::State::kRequest) {
    const std::string sRest = negotiation.TakeRest();
    if (sRest.size() > cbPiece || sStream.substr(nPos - sRest.size(), sRest.size()) != sRest) std::abort();
    const SocksNegotiation::Request& request = negotiation.GetRequest();
    if (request.m_bCommand < 1 || request.m_bCommand > 3 || (request.m_bVersion4 && request.m_bCommand == 3)) std::abort();
    if (request.m_bVersion4 && settings.m_nVersionType == 1) std::abort();
    if (!request.m_bVersion4 && settings.m_nVersionType == 0) std::abort();
    if (negotiation.Feed("more") != state || !negotiation.TakeOutput().empty()) std::abort();
  }
  if (state == SocksNegotiation::State::kSilent && settings.m_nVersionType != 1) std::abort();
  return 0;
}
