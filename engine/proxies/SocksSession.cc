#include "engine/proxies/SocksSession.h"

#include <cerrno>

#include "engine/core/HostResolver.h"

namespace harbix {

SocksSession::SocksSession(SessionContext&& context) : Session(std::move(context)), m_negotiation(Config().m_socks) {}

void SocksSession::OnCreate() {
  // The negotiation is read here; the relay takes the client over once the request is served.
  m_relay.Hold(Relay::kClient);
  if (m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) StartIdleCheck(kFirstIdleMs);
}

void SocksSession::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (!Closing() && hSocket == m_relay.SocketOf(Relay::kClient).Fd()) {
    if (dwEvent == FD_READ && m_bNegotiating) {
      ReadNegotiation();
      return;
    }
    if (dwEvent == FD_READ && m_bUdp) {
      DropClientBytes();
      return;
    }
    if (dwEvent == FD_CLOSE && m_listener.Listening()) {
      // Nobody would hear of the connection that is waited for.
      NoteEnd("client left during BIND");
      Finish();
      return;
    }
  }
  RouteSocketEvent(hSocket, dwEvent, dwError);
}

void SocksSession::ReadNegotiation() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  while (!Closing() && m_bNegotiating && client) {
    const size_t cbRead = ReadRequestPiece(client, buffer);
    if (cbRead == 0) return;
    const SocksNegotiation::State state = m_negotiation.Feed(std::string_view(buffer, cbRead));
    if (const std::string sOutput = m_negotiation.TakeOutput(); !sOutput.empty()) m_relay.Send(Relay::kClient, sOutput);
    switch (state) {
      case SocksNegotiation::State::kReading: continue;
      case SocksNegotiation::State::kFailed:
        m_bNegotiating = false;
        NoteEnd("negotiation refused");
        m_relay.EndAfterSending(Relay::kClient);
        return;
      case SocksNegotiation::State::kSilent:
        m_bNegotiating = false;
        NoteEnd("SOCKS 4 is not served");
        m_relay.EndAfterSending(Relay::kClient);
        return;
      case SocksNegotiation::State::kRequest:
        m_bNegotiating = false;
        m_request = m_negotiation.GetRequest();
        m_sAhead = m_negotiation.TakeRest();
        OnRequest();
        return;
    }
  }
}

void SocksSession::OnRequest() {
  switch (m_request.m_bCommand) {
    case socks::kConnect: {
      m_relay.Expect(Relay::kServer);
      SendAhead();
      m_relay.Release(Relay::kClient, true);
      auto done = [this](Connector::Result result, Socket&& server) { OnConnected(result, std::move(server)); };
      if (m_request.m_sName.empty()) {
        m_connector.StartAt(m_request.m_dwIp, m_request.m_wPort, done);
      } else {
        m_connector.Start(m_request.m_sName, m_request.m_wPort, done);
      }
      return;
    }
    case socks::kBind: ResolveThen(&SocksSession::StartBind); return;
    case socks::kUdpAssociate: ResolveThen(&SocksSession::StartUdp); return;
    default: SendError(socks::kBadCommand); return;
  }
}

void SocksSession::OnConnected(Connector::Result result, Socket&& server) {
  switch (result) {
    case Connector::Result::kConnected:
      m_relay.Send(Relay::kClient, socks::SuccessReply(m_request.m_bVersion4, {m_connector.Address(), m_request.m_wPort}));
      m_relay.Attach(Relay::kServer, std::move(server));
      break;
    case Connector::Result::kUnresolved: SendError(socks::kUnresolved); break;
    case Connector::Result::kNoSocket:
    case Connector::Result::kNoBind: SendError(socks::kLocalFailure); break;
    case Connector::Result::kNotAllowed:
    case Connector::Result::kRefused:
    case Connector::Result::kFailed: SendError(socks::kRefused); break;
  }
}

void SocksSession::ResolveThen(void (SocksSession::*lpNext)()) {
  if (m_request.m_sName.empty()) {
    (this->*lpNext)();
    return;
  }
  // The answer comes through the session's window, which a session that is gone no longer has.
  HostResolver::Resolve(m_request.m_sName, Handle(), [this, lpNext](const std::optional<HostEntry>& host) {
    if (Closing()) return;
    if (!host || host->m_vAddresses.empty()) {
      SendError(socks::kUnresolved);
      return;
    }
    (this->*lpNext)();
  });
}

uint32_t SocksSession::OwnAddress(uint32_t dwAddress) {
  if (dwAddress != 0) return dwAddress;
  SocketAddress local;
  if (m_relay.Has(Relay::kClient) && m_relay.SocketOf(Relay::kClient).LocalAddress(&local)) return local.m_dwIp;
  return 0;
}

void SocksSession::StartBind() {
  if (!m_listener.Listen(0, Acceptor::kAnyPeer,
                         [this](Socket&& accepted, const SocketAddress& peer) { OnAccepted(std::move(accepted), peer); })) {
    SendError(socks::kLocalFailure);
    return;
  }
  SocketAddress listening = m_listener.Address();
  // The listener takes any address; the client must be able to tell its peer one that reaches
  // it, and 0.0.0.0 reaches nothing: the engine's address on the client connection stands in.
  listening.m_dwIp = OwnAddress(listening.m_dwIp);
  m_relay.Send(Relay::kClient, socks::SuccessReply(m_request.m_bVersion4, listening));
  SetNoIdle();
  m_relay.Expect(Relay::kServer);
  SendAhead();
  m_relay.Release(Relay::kClient, true);
}

void SocksSession::SendAhead() {
  if (!m_sAhead.empty()) m_relay.Send(Relay::kServer, m_sAhead);
  m_sAhead = std::string();  // an idle session keeps nothing of its negotiation
}

void SocksSession::OnAccepted(Socket&& accepted, const SocketAddress& peer) {
  // The destination of the request is not compared with the peer: the outgoing list decides.
  if (!DestinationAllowed(peer.m_dwIp)) {
    NoteEnd("BIND peer not allowed");
    accepted.Close();
    SendError(socks::kLocalFailure);
    return;
  }
  m_relay.Send(Relay::kClient, socks::SuccessReply(m_request.m_bVersion4, peer));
  m_relay.Attach(Relay::kServer, std::move(accepted));
}

void SocksSession::StartUdp() {
  SocketAddress local;
  SocketAddress udp;
  if (!m_relay.SocketOf(Relay::kClient).LocalAddress(&local) ||
      !m_udp.Open(0, m_context.m_wMaxDatagram, [this](const SocketAddress& from, std::string_view sDatagram) { OnDatagram(from, sDatagram); }) ||
      !m_udp.LocalAddress(&udp)) {
    SendError(socks::kLocalFailure);
    return;
  }
  // The reply names where the client is to send its datagrams: the engine's address on the
  // client connection (the UDP socket takes any), whatever address the request gave.
  m_relay.Send(Relay::kClient, socks::SuccessReply(false, {local.m_dwIp, udp.m_wPort}));
  m_wClientUdpPort = m_request.m_wPort;
  m_bUdp = true;
  SetNoIdle();
  m_sAhead = std::string();
  DropClientBytes();
}

void SocksSession::DropClientBytes() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  for (int nRead = 0; nRead < 16 && !Closing() && client; ++nRead) {
    if (ReadRequestPiece(client, buffer) == 0) return;
  }
}

void SocksSession::OnDatagram(const SocketAddress& from, std::string_view sDatagram) {
  if (Closing()) return;
  const SocketAddress& client = Peer();
  if (from.m_dwIp != 0 && from.m_dwIp != client.m_dwIp) {
    // From a remote host: to the client, at the port its datagrams come from.
    if (!DestinationAllowed(from.m_dwIp) || m_wClientUdpPort == 0) return;
    for (const std::string& sWrapped : socks::WrapRemoteDatagram(from, sDatagram, m_context.m_wMaxDatagram)) {
      m_udp.SendTo({client.m_dwIp, m_wClientUdpPort}, sWrapped);
    }
    return;
  }
  const std::optional<socks::ClientDatagram> datagram = socks::ParseClientDatagram(sDatagram);
  if (!datagram) return;
  if (datagram->m_sName.empty()) {
    SendToDestination(datagram->m_dwIp, datagram->m_wPort, datagram->m_sPayload, from.m_wPort);
    return;
  }
  if (m_nLookups >= kMaxDatagramLookups) return;
  ++m_nLookups;
  HostResolver::Resolve(datagram->m_sName, Handle(),
                        [this, wPort = datagram->m_wPort, sPayload = std::string(datagram->m_sPayload),
                         wClientPort = from.m_wPort](const std::optional<HostEntry>& host) {
                          --m_nLookups;
                          if (Closing() || !host || host->m_vAddresses.empty()) return;
                          SendToDestination(host->m_vAddresses.front(), wPort, sPayload, wClientPort);
                        });
}

void SocksSession::SendToDestination(uint32_t dwIp, uint16_t wPort, std::string_view sPayload, uint16_t wClientPort) {
  if (!DestinationAllowed(dwIp)) return;
  m_wClientUdpPort = wClientPort;
  m_udp.SendTo({dwIp, wPort}, sPayload);
}

void SocksSession::SendError(socks::Error error) {
  if (Closing()) return;
  m_bUdp = false;
  m_relay.Send(Relay::kClient, socks::ErrorReply(m_request.m_bVersion4, error));
  m_relay.EndAfterSending(Relay::kClient);
}

SessionFactory SocksSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> { return std::make_unique<SocksSession>(std::move(context)); };
}

}  // namespace harbix
