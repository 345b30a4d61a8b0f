#include "engine/proxies/PnaSession.h"

#include <algorithm>
#include <span>

#include "engine/proxies/PnaStreamHeader.h"

namespace harbix {

PnaSession::PnaSession(SessionContext&& context) : Session(std::move(context)) {}

void PnaSession::OnCreate() {
  // The header is read here; the relay takes the client over once the server is there.
  m_relay.Hold(Relay::kClient);
  if (m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) StartIdleCheck(kFirstIdleMs);
}

void PnaSession::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (!Closing() && dwEvent == FD_READ && hSocket == m_relay.SocketOf(Relay::kClient).Fd()) {
    if (m_bReadingHeader) {
      ReadHeader();
      return;
    }
    if (m_bHolding) {
      HoldStreamStart();
      return;
    }
  }
  RouteSocketEvent(hSocket, dwEvent, dwError);
}

void PnaSession::ReadHeader() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  while (!Closing() && m_bReadingHeader && client) {
    const size_t cbRead = ReadRequestPiece(client, buffer);
    if (cbRead == 0) return;
    switch (m_header.Feed(std::string_view(buffer, cbRead))) {
      case PnaHeader::State::kReading: continue;
      case PnaHeader::State::kFailed:
        m_bReadingHeader = false;
        NoteEnd("header refused");
        SendError(m_header.Error());
        return;
      case PnaHeader::State::kComplete:
        m_bReadingHeader = false;
        m_sHeld = m_header.TakeRest();
        Connect();
        return;
    }
  }
}

void PnaSession::Connect() {
  m_relay.Expect(Relay::kServer);
  if (m_header.Udp()) {
    // The ports to replace are in these bytes: none may reach the server before they are.
    m_bHolding = true;
    HoldStreamStart();
  } else {
    ForwardHeld();
  }
  m_connector.Start(m_header.Host(), m_header.Port(),
                    [this](Connector::Result result, Socket&& server) { OnConnected(result, std::move(server)); });
}

void PnaSession::HoldStreamStart() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  // Past the limit the bytes wait in the socket; the relay reads them once it takes over.
  while (!Closing() && m_bHolding && client && m_sHeld.size() < kMaxHeld) {
    const size_t cbRead = ReadRequestPiece(client, std::span(buffer).first(std::min(sizeof buffer, kMaxHeld - m_sHeld.size())));
    if (cbRead == 0) return;
    m_sHeld.append(buffer, cbRead);
  }
}

void PnaSession::OnConnected(Connector::Result result, Socket&& server) {
  if (result != Connector::Result::kConnected) {
    SendError(pna::kNoConnect);
    return;
  }
  if (m_header.Udp() && !StartUdp()) {
    server.Close();
    SendError(pna::kBadInfo);
    return;
  }
  m_relay.Send(Relay::kClient, pna::SuccessReply());
  // Queued while the server is still expected, so that they go even if the client has left.
  if (m_bHolding) {
    m_bHolding = false;
    ForwardHeld();
  }
  m_relay.Attach(Relay::kServer, std::move(server));
}

void PnaSession::ForwardHeld() {
  // What followed the header reaches the server first, before anything sent later.
  if (!m_sHeld.empty()) m_relay.Send(Relay::kServer, m_sHeld);
  m_sHeld = std::string();
  m_relay.Release(Relay::kClient, true);
}

bool PnaSession::StartUdp() {
  const std::optional<pna::ClientUdpPorts> ports = pna::FindClientUdpPorts(m_sHeld, m_header.UdpPortOffset());
  if (!ports) {
    NoteEnd("no UDP port behind the header");
    return false;
  }
  if (!OpenChannel(0, ports->m_nFirstAt, ports->m_wFirst)) return false;
  if (!ports->m_nSecondAt) return true;
  if (!OpenChannel(1, *ports->m_nSecondAt, ports->m_wSecond)) return false;
  m_relay.SetTap(Relay::kServer, &m_answerWatch);
  return true;
}

bool PnaSession::OpenChannel(size_t nChannel, size_t nAt, uint16_t wClientPort) {
  UdpChannel& channel = m_aChannels[nChannel];
  SocketAddress local;
  if (!channel.m_port.Open(0, m_context.m_wMaxDatagram,
                           [this, nChannel](const SocketAddress& from, std::string_view sDatagram) {
                             OnDatagram(nChannel, from, sDatagram);
                           }) ||
      !channel.m_port.LocalAddress(&local)) {
    return false;
  }
  channel.m_wClientPort = wClientPort;
  pna::PutPort(m_sHeld, nAt, local.m_wPort);
  return true;
}

void PnaSession::AnswerWatch::OnBytes(const char* lpData, size_t cbData) {
  m_sHead.append(lpData, std::min(cbData, pna::kServerAnswerHead - m_sHead.size()));
  if (m_sHead.size() == pna::kServerAnswerHead) m_session.OnServerAnswer(m_sHead);
}

void PnaSession::AnswerWatch::OnEnd(bool /*bComplete*/) { m_session.OnServerAnswer(m_sHead); }

void PnaSession::OnServerAnswer(std::string_view sHead) {
  m_relay.SetTap(Relay::kServer, nullptr);
  UdpChannel& second = m_aChannels[1];
  if (const std::optional<uint16_t> wPort = pna::ServerSecondUdpPort(sHead)) {
    second.m_wServerPort = *wPort;
  } else {
    // The server did not take up the second channel: nothing will come to it.
    second.m_port.Close();
  }
}

void PnaSession::OnDatagram(size_t nChannel, const SocketAddress& from, std::string_view sDatagram) {
  if (Closing()) return;
  UdpChannel& channel = m_aChannels[nChannel];
  const uint32_t dwServer = m_connector.Address();
  const SocketAddress& client = Peer();
  // Only the player may send to the server through the proxy's sockets. A server on the
  // player's own machine shares its address: the player's datagrams are then told by the port
  // it named for the channel.
  const bool bFromPlayer = from.m_dwIp == client.m_dwIp && (from.m_dwIp != dwServer || from.m_wPort == channel.m_wClientPort);
  if (bFromPlayer) {
    if (channel.m_wServerPort != 0) channel.m_port.SendTo({dwServer, channel.m_wServerPort}, sDatagram);
    return;
  }
  if (from.m_dwIp != dwServer) return;
  // The server names no port for the first channel: it is where its datagrams come from.
  if (nChannel == 0) channel.m_wServerPort = from.m_wPort;
  // To the player's address on the control connection: the one the proxy knows reaches it.
  channel.m_port.SendTo({client.m_dwIp, channel.m_wClientPort}, sDatagram);
}

void PnaSession::SendError(pna::Status status) {
  if (Closing()) return;
  m_bHolding = false;
  m_relay.Send(Relay::kClient, pna::ErrorReply(status));
  m_relay.EndAfterSending(Relay::kClient);
}

SessionFactory PnaSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> { return std::make_unique<PnaSession>(std::move(context)); };
}

}  // namespace harbix
