// A session kind for tests of the service framework: relays every client to one fixed address
// with the relay pump.
#pragma once

#include "engine/core/Engine.h"
#include "engine/core/RelaySession.h"

namespace harbix::test {

class TestRelaySession : public RelaySession {
 public:
  TestRelaySession(SessionContext&& context, SocketAddress destination);

 protected:
  void OnCreate() override;
  void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

 private:
  SocketAddress m_destination;
};

SessionFactory TestRelayFactory(SocketAddress destination);

// Every connection service relays to the destination (DNS accepts, counts and closes).
ServiceCatalog TestRelayCatalog(SocketAddress destination);

}  // namespace harbix::test
