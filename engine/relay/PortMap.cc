#include "engine/relay/PortMap.h"

#include <cerrno>

#include "engine/core/Connections.h"
#include "engine/core/EngineMessages.h"
#include "engine/core/HostResolver.h"
#include "platform/MessageLoop.h"

namespace harbix {
namespace {
// Datagrams handled per read event, so that one busy client cannot hold the thread.
constexpr int kDatagramsPerEvent = 64;
}  // namespace

// ---------------------------------------------------------------------------------------------
// TCP

MapTcpSession::MapTcpSession(SessionContext&& context, SocketAddress destination)
    : RelaySession(std::move(context)), m_destination(destination) {}

void MapTcpSession::OnCreate() {
  if (!AttachClient()) return;
  StartIdleCheck(kFirstIdleMs);
  if (ConnectServer(m_destination.m_dwIp, m_destination.m_wPort) != ConnectStep::kDone) Finish();
}

SessionFactory MapTcpSessionFactory(SocketAddress destination) {
  return [destination](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<MapTcpSession>(std::move(context), destination);
  };
}

// ---------------------------------------------------------------------------------------------
// The map's thread

MapThread::MapThread(ThreadId engine, MapRecord record, uint16_t wMaxDatagram)
    : ServiceThread(engine, nullptr, wMaxDatagram), m_record(std::move(record)) {}

MapThread::~MapThread() { Join(); }

std::shared_ptr<const ServiceConfig> MapThread::ReadSettings() {
  auto lpConfig = std::make_shared<ServiceConfig>();
  lpConfig->m_dwBindIp = m_record.m_dwBindIp;
  lpConfig->m_wBindPort = m_record.m_wBindPort;
  lpConfig->m_bUseThreads = m_record.m_bUseThreads;
  lpConfig->m_bLogActivity = false;
  lpConfig->m_incoming = m_record.m_incoming;
  return lpConfig;
}

uint8_t MapThread::OpenSockets() {
  // The destination is looked up off this thread, so that stopping the engine never waits
  // for a name server.
  HostResolver::Resolve(m_record.m_sDestHost, m_lpSink->Handle(), 0);
  return kStatusInitializing;
}

void MapThread::OnThreadMessage(const Message& msg) {
  if (msg.message != WM_HOST_RESOLVED || Status() != kStatusInitializing) return;
  if (msg.lParam == HostResolver::kFailed) {
    EndWithStatus(kStatusUnresolved);
    return;
  }
  m_destination = SocketAddress{static_cast<uint32_t>(msg.lParam), m_record.m_wDestPort};
  CompleteStart(OpenMapSockets());
}

uint8_t MapThread::OpenMapSockets() {
  if (m_record.m_serviceType != MapServiceType::Tcp) {
    Socket udp = Socket::Udp();
    if (!udp) return kStatusFailure;
    if (!udp.Bind(m_record.m_dwBindIp, m_record.m_wBindPort)) return kStatusAddressInUse;
    if (!m_lpSink->Select(udp, FD_READ | FD_CLOSE)) return kStatusFailure;
    m_udp = std::move(udp);
    m_vDatagram.resize(m_wMaxDatagram);
  }
  if (m_record.m_serviceType != MapServiceType::Udp) {
    m_factory = MapTcpSessionFactory(m_destination);
    return ServiceThread::OpenSockets();
  }
  return kStatusRunning;
}

void MapThread::CloseSockets() {
  ServiceThread::CloseSockets();
  if (m_udp) {
    m_lpSink->Deselect(m_udp);
    m_udp.Close();
  }
  while (!m_vPeers.empty()) DropPeer(m_vPeers.size() - 1);
}

void MapThread::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (dwEvent == FD_CLOSE) {
    EndWithStatus(Status());  // a map socket that breaks ends the map
    return;
  }
  if (dwEvent == FD_READ && m_udp && hSocket == m_udp.Fd()) {
    OnClientDatagrams();
    return;
  }
  if (dwEvent == FD_READ) {
    for (size_t i = 0; i < m_vPeers.size(); ++i) {
      if (m_vPeers[i].m_socket.Fd() == hSocket) {
        OnPeerDatagrams(i);
        return;
      }
    }
  }
  ServiceThread::OnSocketEvent(hSocket, dwEvent, dwError);
}

void MapThread::OnClientDatagrams() {
  for (int nRound = 0; nRound < kDatagramsPerEvent; ++nRound) {
    SocketAddress client;
    const long nRead = m_udp.RecvFrom(m_vDatagram.data(), m_vDatagram.size(), &client);
    if (nRead < 0) return;
    AddToCounters(0, 0, static_cast<uint64_t>(nRead));
    if (!m_lpConfig->m_incoming.Admits(client.m_dwIp)) continue;

    size_t nPeer = 0;
    while (nPeer < m_vPeers.size() &&
           (m_vPeers[nPeer].m_client.m_dwIp != client.m_dwIp || m_vPeers[nPeer].m_client.m_wPort != client.m_wPort)) {
      ++nPeer;
    }
    if (nPeer == m_vPeers.size()) {
      // A new client counts as one connection for as long as its forwarding socket lives.
      if (!Connections().TryAdmit()) continue;
      Peer peer;
      peer.m_socket = Socket::Udp();
      if (!peer.m_socket || !peer.m_socket.Bind(0, 0) || !m_lpSink->Select(peer.m_socket, FD_READ | FD_CLOSE)) {
        Connections().Release();
        continue;
      }
      peer.m_client = client;
      AddToCounters(1, 0, 0);
      m_vPeers.push_back(std::move(peer));
    }
    Peer& peer = m_vPeers[nPeer];
    peer.m_qwLastUse = MessageLoop::Current()->NowMs();
    if (peer.m_socket.SendTo(m_vDatagram.data(), static_cast<size_t>(nRead), m_destination) < 0) {
      DropPeer(nPeer);
      continue;
    }
    AddToCounters(0, static_cast<uint64_t>(nRead), 0);
    if (!m_record.m_bWaitReply) DropPeer(nPeer);  // one way only
  }
  // More may be waiting: the next read event comes for them.
}

void MapThread::OnPeerDatagrams(size_t nPeer) {
  SocketAddress from;
  const long nRead = m_vPeers[nPeer].m_socket.RecvFrom(m_vDatagram.data(), m_vDatagram.size(), &from);
  if (nRead < 0) return;
  AddToCounters(0, 0, static_cast<uint64_t>(nRead));
  if (!m_record.m_bWaitReply || from.m_dwIp != m_destination.m_dwIp || from.m_wPort != m_destination.m_wPort) return;
  // The first answer goes back to the client, from the map's own address, and ends the peer.
  const SocketAddress client = m_vPeers[nPeer].m_client;
  DropPeer(nPeer);
  if (m_udp.SendTo(m_vDatagram.data(), static_cast<size_t>(nRead), client) >= 0) {
    AddToCounters(0, static_cast<uint64_t>(nRead), 0);
  }
}

void MapThread::DropPeer(size_t nPeer) {
  m_lpSink->Deselect(m_vPeers[nPeer].m_socket);
  m_vPeers.erase(m_vPeers.begin() + static_cast<std::ptrdiff_t>(nPeer));
  AddToCounters(-1, 0, 0);
  Connections().Release();
}

void MapThread::OnTick() {
  const uint64_t qwNow = MessageLoop::Current()->NowMs();
  for (size_t i = m_vPeers.size(); i-- > 0;) {
    if (qwNow - m_vPeers[i].m_qwLastUse > kPeerLifetimeMs) DropPeer(i);
  }
}

}  // namespace harbix
