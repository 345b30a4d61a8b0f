// The DNS service's thread: a datagram service on the service framework, without an accept loop.
#pragma once

#include "engine/core/ServiceThread.h"

namespace harbix {

class DnsServiceThread : public ServiceThread {
 public:
  DnsServiceThread(ThreadId engine, uint16_t wMaxDatagram);

 protected:
  uint8_t OpenSockets() override;
  void CloseSockets() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  Socket m_socket;
};

}  // namespace harbix
