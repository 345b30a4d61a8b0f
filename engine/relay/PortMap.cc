#include "engine/relay/PortMap.h"

#include <cerrno>

#include "common/Text.h"
#include "engine/core/EngineMessages.h"
#include "engine/core/HostResolver.h"
#include "platform/MessageLoop.h"
#include "platform/Trace.h"

namespace harbix {
namespace {
// Datagrams handled per read event, so that one busy client cannot hold the thread.
constexpr int kDatagramsPerEvent = 64;
}  // namespace

// ---------------------------------------------------------------------------------------------
// TCP

MapTcpSession::MapTcpSession(SessionContext&& context, SocketAddress destination)
    : Session(std::move(context)), m_destination(destination) {}

void MapTcpSession::OnCreate() {
  if (!m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) return;
  StartIdleCheck(kFirstIdleMs);
  m_relay.Expect(Relay::kServer);
  m_connector.StartAt(m_destination.m_dwIp, m_destination.m_wPort,
                      [this](Connector::Result result, Socket&& server) { OnConnected(result, std::move(server)); });
}

void MapTcpSession::OnConnected(Connector::Result result, Socket&& server) {
  if (result == Connector::Result::kConnected) {
    m_relay.Attach(Relay::kServer, std::move(server));
  } else {
    m_relay.EndAfterSending(Relay::kClient);  // the destination refused: the client is let go
  }
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
  if (std::optional<uint32_t> dwIp = ParseDottedAddress(m_record.m_sDestHost)) {
    m_destination = SocketAddress{*dwIp, m_record.m_wDestPort};
    return OpenMapSockets();
  }
  // A name is looked up off this thread, so that stopping the engine never waits for a name
  // server.
  HostResolver::Resolve(m_record.m_sDestHost, m_lpSink->Handle(), [this](const std::optional<HostEntry>& host) {
    if (Status() != kStatusInitializing) return;
    if (!host) {
      EndWithStatus(kStatusUnresolved);
      return;
    }
    m_destination = SocketAddress{host->m_vAddresses.front(), m_record.m_wDestPort};
    CompleteStart(OpenMapSockets());
  });
  return kStatusInitializing;
}

uint8_t MapThread::OpenMapSockets() {
  if (m_record.m_serviceType != MapServiceType::Tcp) {
    Socket udp = Socket::Udp();
    if (!udp) return kStatusFailure;
    if (!udp.Bind(m_record.m_dwBindIp, m_record.m_wBindPort)) return kStatusAddressInUse;
    if (!m_lpSink->Select(udp, FD_READ | FD_WRITE | FD_CLOSE)) return kStatusFailure;
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
  if (m_udp && hSocket == m_udp.Fd()) {
    if (dwEvent == FD_READ) OnClientDatagrams();
    if (dwEvent == FD_WRITE) AddToCounters(0, m_udpQueue.Flush(m_udp), 0);
    return;
  }
  for (size_t i = 0; i < m_vPeers.size(); ++i) {
    Peer& peer = m_vPeers[i];
    if (peer.m_socket.Fd() != hSocket) continue;
    if (dwEvent == FD_READ) OnPeerDatagrams(i);
    if (dwEvent == FD_WRITE) {
      AddToCounters(0, peer.m_queue.Flush(peer.m_socket), 0);
      if (!m_record.m_bWaitReply && peer.m_queue.Empty()) DropPeer(i);  // one way only: done
    }
    return;
  }
  ServiceThread::OnSocketEvent(hSocket, dwEvent, dwError);
}

bool MapThread::Sent(DatagramQueue::Result result, size_t cbDatagram) {
  switch (result) {
    case DatagramQueue::Result::kSent: AddToCounters(0, cbDatagram, 0); return true;
    case DatagramQueue::Result::kQueued: return true;  // counted when it goes
    case DatagramQueue::Result::kDropped:
    case DatagramQueue::Result::kFailed: return false;
  }
  return false;
}

MapThread::Peer* MapThread::PeerFor(const SocketAddress& client) {
  for (Peer& peer : m_vPeers) {
    if (peer.m_client.m_dwIp == client.m_dwIp && peer.m_client.m_wPort == client.m_wPort) return &peer;
  }
  // A new client counts as one connection for as long as its forwarding socket lives.
  Peer peer;
  peer.m_ticket = AdmissionTicket::TryAdmit();
  if (!peer.m_ticket) {
    Trace("MAX CXS");
    return nullptr;
  }
  peer.m_socket = Socket::Udp();
  SocketAddress local;
  if (!peer.m_socket) {
    Trace("NO MORE SOCKETS");
  } else if (!peer.m_socket.Bind(0, 0)) {
    Trace("NO BIND");
  } else if (!peer.m_socket.LocalAddress(&local)) {
    Trace("NO GETSOCKNAME()");
  } else if (!m_lpSink->Select(peer.m_socket, FD_READ | FD_WRITE | FD_CLOSE)) {
    Trace("NO WSAAsyncSelect()");
  } else {
    peer.m_client = client;
    peer.m_ticket.Confirm();
    AddToCounters(1, 0, 0);
    m_vPeers.push_back(std::move(peer));
    return &m_vPeers.back();
  }
  return nullptr;
}

void MapThread::OnClientDatagrams() {
  for (int nRound = 0; nRound < kDatagramsPerEvent; ++nRound) {
    SocketAddress client;
    const long nRead = m_udp.RecvFrom(m_vDatagram.data(), m_vDatagram.size(), &client);
    if (nRead < 0) return;
    AddToCounters(0, 0, static_cast<uint64_t>(nRead));
    if (!m_lpConfig->m_incoming.Admits(client.m_dwIp)) continue;
    Peer* lpPeer = PeerFor(client);
    if (!lpPeer) continue;
    lpPeer->m_qwLastUse = MessageLoop::Current()->NowMs();
    const size_t cbRead = static_cast<size_t>(nRead);
    const DatagramQueue::Result result = lpPeer->m_queue.SendTo(lpPeer->m_socket, m_destination, std::string_view(m_vDatagram.data(), cbRead));
    const size_t nPeer = static_cast<size_t>(lpPeer - m_vPeers.data());
    if (!Sent(result, cbRead)) {
      Trace("ERROR WHILE FORWARDING");
      if (result == DatagramQueue::Result::kFailed) DropPeer(nPeer);
      continue;
    }
    if (!m_record.m_bWaitReply && lpPeer->m_queue.Empty()) DropPeer(nPeer);  // one way only
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
  const size_t cbRead = static_cast<size_t>(nRead);
  Sent(m_udpQueue.SendTo(m_udp, client, std::string_view(m_vDatagram.data(), cbRead)), cbRead);
}

void MapThread::DropPeer(size_t nPeer) {
  m_lpSink->Deselect(m_vPeers[nPeer].m_socket);
  m_vPeers.erase(m_vPeers.begin() + static_cast<std::ptrdiff_t>(nPeer));
  AddToCounters(-1, 0, 0);
}

void MapThread::OnTick() {
  const uint64_t qwNow = MessageLoop::Current()->NowMs();
  for (size_t i = m_vPeers.size(); i-- > 0;) {
    if (qwNow - m_vPeers[i].m_qwLastUse > kPeerLifetimeMs) DropPeer(i);
  }
}

}  // namespace harbix
