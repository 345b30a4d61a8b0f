#include "tests/support/TestRelaySession.h"

#include "engine/core/EngineMessages.h"

namespace harbix::test {

TestRelaySession::TestRelaySession(SessionContext&& context, SocketAddress destination)
    : RelaySession(std::move(context)), m_destination(destination) {}

void TestRelaySession::OnCreate() {
  m_client.m_socket = std::move(m_context.m_client);
  m_server.m_socket = Socket::Tcp();
  if (!m_client.m_socket.Select(Handle(), FD_READ | FD_WRITE | FD_CLOSE) || !m_server.m_socket ||
      !m_server.m_socket.Select(Handle(), FD_WRITE | FD_CONNECT) ||
      m_server.m_socket.Connect(m_destination.m_dwIp, m_destination.m_wPort) != 0) {
    Finish();
  }
}

void TestRelaySession::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message != WM_SOCKET_EVENT) return;
  const int hSocket = static_cast<int>(wParam);
  if (SelectEvent(lParam) == FD_CONNECT) {
    if (SelectError(lParam) != 0 || !m_server.m_socket.Select(Handle(), FD_READ | FD_WRITE | FD_CLOSE)) Finish();
    return;
  }
  RelayEvent(hSocket, SelectEvent(lParam), SelectError(lParam));
}

SessionFactory TestRelayFactory(SocketAddress destination) {
  return [destination](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<TestRelaySession>(std::move(context), destination);
  };
}

ServiceCatalog TestRelayCatalog(SocketAddress destination) {
  ServiceCatalog catalog;
  catalog.m_makeService = [destination](ServiceId id, ThreadId engine, uint16_t wMaxDatagram) {
    return std::make_unique<ServiceThread>(id, engine, id == ServiceId::Dns ? nullptr : TestRelayFactory(destination),
                                           wMaxDatagram);
  };
  return catalog;
}

}  // namespace harbix::test
