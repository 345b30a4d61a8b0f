// A part of a session that owns sockets (a relay, a connect under way, a listener, a datagram
// socket). The session routes each socket event to the part that owns the socket, and each
// timer to the part that set it, so one session can hold any number of them.
#pragma once

#include <cstdint>

namespace harbix {

class SocketHandler {
 public:
  virtual ~SocketHandler() = default;
  virtual bool OwnsSocket(int hSocket) const = 0;
  virtual void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) = 0;
  // A window timer of the session; true when it was this part's.
  virtual bool OnTimer(uint32_t /*nId*/) { return false; }
};

}  // namespace harbix
