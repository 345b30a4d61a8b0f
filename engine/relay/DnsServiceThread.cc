#include "engine/relay/DnsServiceThread.h"

#include <vector>

#include "platform/MessageLoop.h"

namespace harbix {

DnsServiceThread::DnsServiceThread(ThreadId engine, uint16_t wMaxDatagram)
    : ServiceThread(ServiceId::Dns, engine, nullptr, wMaxDatagram) {}

uint8_t DnsServiceThread::OpenSockets() {
  Socket socket = Socket::Udp();
  if (!socket) return kStatusFailure;
  if (!socket.Bind(m_lpConfig->m_dwBindIp, m_lpConfig->m_wBindPort)) return kStatusAddressInUse;
  if (!m_lpSink->Select(socket, FD_READ | FD_CLOSE)) return kStatusFailure;
  m_socket = std::move(socket);
  return kStatusRunning;
}

void DnsServiceThread::CloseSockets() {
  if (!m_socket) return;
  m_lpSink->Deselect(m_socket);
  m_socket.Close();
}

void DnsServiceThread::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t /*dwError*/) {
  if (hSocket != m_socket.Fd()) return;
  if (dwEvent == FD_CLOSE) {
    MessageLoop::Current()->PostQuitMessage(0);
    return;
  }
  // Requests are read and counted; answering them comes with the DNS proxy itself.
  std::vector<char> vBuffer(m_wMaxDatagram);
  SocketAddress from;
  long nRead;
  while ((nRead = m_socket.RecvFrom(vBuffer.data(), vBuffer.size(), &from)) >= 0) {
    AddToCounters(0, 0, static_cast<uint64_t>(nRead));
  }
}

}  // namespace harbix
