#include "engine/proxies/FtpSession.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "common/Text.h"

namespace harbix {
namespace ftp {
namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The command word: what comes before the first blank.
std::string_view CommandWord(std::string_view sLine) {
  size_t n = 0;
  while (n < sLine.size() && !IsBlank(sLine[n])) ++n;
  return sLine.substr(0, n);
}

}  // namespace

bool HasCode(std::string_view sLine) {
  return sLine.size() >= 4 && std::isdigit(static_cast<unsigned char>(sLine[0])) &&
         std::isdigit(static_cast<unsigned char>(sLine[1])) && std::isdigit(static_cast<unsigned char>(sLine[2]));
}

namespace {

ClientCommand Local(const char* lpReply) {
  ClientCommand command;
  command.m_kind = ClientCommand::Kind::kLocal;
  command.m_sLine = lpReply;
  return command;
}

}  // namespace

std::string Unresolved(const std::string& sHost) { return "530 Cannot Resolve Host '" + sHost + "'"; }
std::string NotAllowed(const std::string& sHost) { return "530 Not allowed to connect to '" + sHost + "'"; }
std::string CannotConnect(const std::string& sHost) { return "530 Cannot connect to '" + sHost + "'"; }

std::optional<HostPort> ParseHostPort(std::string_view sText) {
  uint32_t aNumbers[6];
  for (int i = 0; i < 6; ++i) {
    sText = TrimLeft(sText);
    uint32_t n = 0;
    size_t cbDigits = 0;
    while (cbDigits < sText.size() && std::isdigit(static_cast<unsigned char>(sText[cbDigits]))) {
      n = n * 10 + static_cast<uint32_t>(sText[cbDigits] - '0');
      if (n > 255) return std::nullopt;  // not a byte: no address or port this names
      ++cbDigits;
    }
    if (cbDigits == 0) return std::nullopt;
    sText.remove_prefix(cbDigits);
    aNumbers[i] = n;
    if (i < 5) {
      if (sText.empty() || sText.front() != ',') return std::nullopt;
      sText.remove_prefix(1);
    }
  }
  if (!sText.empty()) return std::nullopt;
  HostPort address;
  address.m_dwIp = aNumbers[0] | aNumbers[1] << 8 | aNumbers[2] << 16 | aNumbers[3] << 24;
  address.m_wPort = static_cast<uint16_t>(aNumbers[4] << 8 | aNumbers[5]);
  if (address.m_wPort == 0) return std::nullopt;
  return address;
}

std::string FormatHostPort(uint32_t dwIp, uint16_t wPort) {
  return std::to_string(dwIp & 0xFF) + "," + std::to_string(dwIp >> 8 & 0xFF) + "," + std::to_string(dwIp >> 16 & 0xFF) +
         "," + std::to_string(dwIp >> 24) + "," + std::to_string(wPort >> 8) + "," + std::to_string(wPort & 0xFF);
}

ClientCommand ReadClientLine(const std::string& sLine, bool bUserSeen) {
  ClientCommand command;
  const std::string_view sWord = CommandWord(sLine);
  if (!bUserSeen) {
    if (!StartsWithNoCase(sLine, "USER ")) {
      // What clients ask to learn about the server before they log in: a feature list, TLS
      // (which cannot pass a proxy that rewrites the control lines) and options.
      if (EqualNoCase(sWord, "FEAT")) return Local(kNoFeatures);
      if (EqualNoCase(sWord, "AUTH")) return Local(kNoTls);
      if (EqualNoCase(sWord, "OPTS")) return Local(kNoOptions);
      command.m_kind = ClientCommand::Kind::kNoUser;
      return command;
    }
    const std::string_view sArgument = TrimLeft(std::string_view(sLine).substr(5));
    const size_t nAt = sArgument.find('@');
    if (nAt == std::string_view::npos) {
      command.m_kind = ClientCommand::Kind::kNoHost;
      return command;
    }
    std::string_view sHost = TrimLeft(sArgument.substr(nAt + 1));
    if (const size_t nColon = sHost.find(':'); nColon != std::string_view::npos) {
      command.m_wPort = LeadingPort(TrimLeft(sHost.substr(nColon + 1)));
      sHost = TrimRight(sHost.substr(0, nColon));
    }
    command.m_kind = ClientCommand::Kind::kLogin;
    command.m_sHost = sHost;
    command.m_sLine = "USER " + std::string(TrimRight(sArgument.substr(0, nAt)));
    return command;
  }
  // The extended and long data commands would open a data connection around the rewriting:
  // refused here, clients fall back to PASV and PORT.
  for (const char* lpRefused : {"EPSV", "EPRT", "LPSV", "LPRT"}) {
    if (EqualNoCase(sWord, lpRefused)) return Local(kNotImplemented);
  }
  if (StartsWithNoCase(sLine, "PORT ")) {
    const std::optional<HostPort> address = ParseHostPort(TrimLeft(std::string_view(sLine).substr(5)));
    command.m_kind = address ? ClientCommand::Kind::kPort : ClientCommand::Kind::kPortError;
    if (address) command.m_address = *address;
    return command;
  }
  command.m_sLine = sLine;
  return command;
}

ServerReply ReadServerLine(const std::string& sLine) {
  ServerReply reply;
  reply.m_sLine = sLine;
  if (!HasCode(sLine) || (sLine[3] != '-' && sLine[3] != ' ')) return reply;
  const std::string_view sCode = std::string_view(sLine).substr(0, 3);
  const std::string_view sText = TrimLeft(std::string_view(sLine).substr(4));
  if (sCode == "220") {
    // The server's greeting becomes the first part of the reply to USER.
    reply.m_kind = ServerReply::Kind::kGreeting;
    reply.m_sLine = sText;
    return reply;
  }
  if (sLine[3] == '-') return reply;
  if (sCode != "227") {
    reply.m_sLine = std::string(sCode) + " " + std::string(sText);
    return reply;
  }
  std::string_view sRest = sText;
  if (const size_t nOpen = sRest.find('('); nOpen != std::string_view::npos) {
    reply.m_sPrefix = sRest.substr(0, nOpen);
    sRest = TrimLeft(sRest.substr(nOpen + 1));
  }
  if (const size_t nClose = sRest.find(')'); nClose != std::string_view::npos) {
    reply.m_sSuffix = sRest.substr(nClose + 1);
    sRest = TrimRight(sRest.substr(0, nClose));
  }
  const std::optional<HostPort> address = ParseHostPort(sRest);
  reply.m_kind = address ? ServerReply::Kind::kPassive : ServerReply::Kind::kPassiveError;
  if (address) reply.m_address = *address;
  return reply;
}

std::string PassiveReply(const ServerReply& reply, uint32_t dwIp, uint16_t wPort) {
  return "227 " + reply.m_sPrefix + "(" + FormatHostPort(dwIp, wPort) + ")" + reply.m_sSuffix;
}

}  // namespace ftp

FtpSession::FtpSession(SessionContext&& context) : Session(std::move(context)) {}

void FtpSession::OnCreate() {
  m_clientAddress = Peer();
  SocketAddress local;
  if (!m_context.m_client.LocalAddress(&local)) {
    NoteEnd("getsockname", errno);
    Finish();
    return;
  }
  m_dwClientFacingIp = local.m_dwIp;
  // The session reads both control connections itself, line by line; the relay sends what
  // the session has to say and ends the connections.
  m_control.Hold(Relay::kClient);
  if (!m_control.Attach(Relay::kClient, std::move(m_context.m_client))) return;
  SendClient(ftp::kGreeting);
  StartIdleCheck(kFirstIdleMs);
}

void FtpSession::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  for (ControlSide* lpSide : {&m_client, &m_server}) {
    if (!m_control.Has(lpSide->m_side) || m_control.SocketOf(lpSide->m_side).Fd() != hSocket) continue;
    if (dwEvent == FD_READ || (dwEvent == FD_CLOSE && dwError == 0)) {
      // The end is read behind the last bytes: the lines before it are handled first.
      ReadControl(*lpSide);
      return;
    }
    RouteSocketEvent(hSocket, dwEvent, dwError);
    Resume();  // a queue that drained lets the lines held for it go on
    return;
  }
  RouteSocketEvent(hSocket, dwEvent, dwError);
}

bool FtpSession::Waiting(const ControlSide& side) const {
  if (m_dataConnector.Busy()) return true;
  if (side.m_side == Relay::kClient) return m_bConnecting || m_control.Pending(Relay::kServer) >= Relay::kHighWater;
  return m_control.Pending(Relay::kClient) >= Relay::kHighWater;
}

void FtpSession::ReadControl(ControlSide& side) {
  char buffer[4096];
  while (!Closing() && !m_bQuitting && !side.m_bEnded && m_control.Has(side.m_side)) {
    HandleLines(side);
    if (Closing() || m_bQuitting || Waiting(side)) return;
    Socket& socket = m_control.SocketOf(side.m_side);
    const long nRead = socket.Recv(buffer, sizeof buffer);
    if (nRead < 0) {
      if (WouldBlock(errno)) return;
      NoteEnd("recv", errno);
      if (side.m_side == Relay::kServer) {
        Quit(ftp::kReceiveError);
      } else {
        Finish();
      }
      return;
    }
    if (nRead == 0) {
      // The relay delivers what is on its way and ends the control connections.
      side.m_bEnded = true;
      NoteEnd(side.m_side == Relay::kClient ? "client closed" : "server closed");
      RouteSocketEvent(socket.Fd(), FD_CLOSE, 0);
      return;
    }
    CountReceived(static_cast<uint64_t>(nRead));
    if (!side.m_reader.Take(std::string_view(buffer, static_cast<size_t>(nRead)))) {
      // A line without end would make the buffer grow for ever.
      NoteEnd(side.m_side == Relay::kClient ? "client line too long" : "server line too long");
      Quit(ftp::kReceiveError);
      return;
    }
  }
}

void FtpSession::HandleLines(ControlSide& side) {
  std::string sLine;
  while (!Closing() && !m_bQuitting && !Waiting(side) && side.m_reader.Next(&sLine)) {
    const std::string sTrimmed = Trim(sLine);
    if (sTrimmed.empty()) continue;
    if (side.m_side == Relay::kClient) {
      OnClientLine(sTrimmed);
    } else {
      OnServerLine(sTrimmed);
    }
  }
}

void FtpSession::Resume() {
  if (m_bResuming) return;
  m_bResuming = true;
  ReadControl(m_server);
  ReadControl(m_client);
  m_bResuming = false;
}

namespace {

// A line as it goes out: trimmed, each of its lines (the greeting has two) ended by CR LF, as
// FTP wants. A bare line feed makes lftp suspect a broken server and wait out its network
// timeout before it takes each line.
std::string OutgoingLine(std::string_view sLine) {
  std::string sOut;
  const std::string sTrimmed = Trim(sLine);
  for (size_t nStart = 0; nStart <= sTrimmed.size();) {
    const size_t nFeed = std::min(sTrimmed.find('\n', nStart), sTrimmed.size());
    sOut += Trim(std::string_view(sTrimmed).substr(nStart, nFeed - nStart));
    sOut += "\r\n";
    nStart = nFeed + 1;
  }
  return sOut;
}

}  // namespace

void FtpSession::SendClient(std::string_view sLine) { m_control.Send(Relay::kClient, OutgoingLine(sLine)); }

void FtpSession::SendServer(std::string_view sLine) { m_control.Send(Relay::kServer, OutgoingLine(sLine)); }

void FtpSession::Quit(std::string_view sLine) {
  if (m_bQuitting) return;
  m_bQuitting = true;
  m_connector.Cancel();
  m_dataConnector.Cancel();
  m_dataListener.Close();
  SendClient(sLine);
  m_control.EndAfterSending(Relay::kClient);
}

void FtpSession::OnClientLine(const std::string& sLine) {
  ftp::ClientCommand command = ftp::ReadClientLine(sLine, m_bUserSeen);
  switch (command.m_kind) {
    case ftp::ClientCommand::Kind::kNoUser: Quit(ftp::kNoUser); return;
    case ftp::ClientCommand::Kind::kNoHost: Quit(ftp::kNoHost); return;
    case ftp::ClientCommand::Kind::kPortError: Quit(ftp::kPortError); return;
    case ftp::ClientCommand::Kind::kLocal: SendClient(command.m_sLine); return;
    case ftp::ClientCommand::Kind::kForward: SendServer(command.m_sLine); return;
    case ftp::ClientCommand::Kind::kLogin:
      m_bUserSeen = true;
      m_bConnecting = true;
      m_sHost = command.m_sHost;
      // The login waits in the server's queue until the connection is there.
      m_control.Hold(Relay::kServer);
      m_control.Expect(Relay::kServer);
      SendServer(command.m_sLine);
      m_connector.Start(m_sHost, command.m_wPort,
                        [this](Connector::Result result, Socket&& server) { OnServerConnected(result, std::move(server)); });
      return;
    case ftp::ClientCommand::Kind::kPort:
      // The server connects to the engine, on its side of the server connection.
      if (!ListenForData(DataMode::kActive, m_dwServerFacingIp, m_dwServerIp, command.m_address.m_wPort)) {
        Quit(ftp::kPortError);
        return;
      }
      SendServer("PORT " + ftp::FormatHostPort(m_dwServerFacingIp, m_dataListener.Address().m_wPort));
      return;
  }
}

using ftp::HasCode;

void FtpSession::OnServerLine(const std::string& sLine) {
  const ftp::ServerReply reply = ftp::ReadServerLine(sLine);
  if (reply.m_kind != ftp::ServerReply::Kind::kGreeting && !m_vGreeting.empty() && HasCode(sLine)) {
    // The lines of a multi-line reply carry its code: a server that takes the login without a
    // password answers USER with 230, and a client would wait for the end of a 331 reply for ever.
    for (const std::string& sText : m_vGreeting) SendClient(sLine.substr(0, 3) + "-" + sText);
    m_vGreeting.clear();
  }
  switch (reply.m_kind) {
    case ftp::ServerReply::Kind::kGreeting: m_vGreeting.push_back(reply.m_sLine); return;
    case ftp::ServerReply::Kind::kForward: SendClient(reply.m_sLine); return;
    case ftp::ServerReply::Kind::kPassiveError: Quit(ftp::kPassiveError); return;
    case ftp::ServerReply::Kind::kPassive:
      // The client connects to the engine, at the address it reached the engine on.
      if (!ListenForData(DataMode::kPassive, m_dwClientFacingIp, m_clientAddress.m_dwIp, reply.m_address.m_wPort)) {
        Quit(ftp::kPassiveError);
        return;
      }
      SendClient(ftp::PassiveReply(reply, m_dwClientFacingIp, m_dataListener.Address().m_wPort));
      return;
  }
}

void FtpSession::OnServerConnected(Connector::Result result, Socket&& server) {
  m_bConnecting = false;
  switch (result) {
    case Connector::Result::kConnected: {
      SocketAddress local;
      if (!server.LocalAddress(&local)) {
        NoteEnd("getsockname", errno);
        Quit(ftp::kInternalError);
        return;
      }
      m_dwServerFacingIp = local.m_dwIp;
      m_dwServerIp = m_connector.Address();
      if (!m_control.Attach(Relay::kServer, std::move(server))) return;
      Resume();  // lines the client sent behind USER
      return;
    }
    case Connector::Result::kUnresolved: Quit(ftp::Unresolved(m_sHost)); return;
    case Connector::Result::kNotAllowed: Quit(ftp::NotAllowed(m_sHost)); return;
    case Connector::Result::kNoSocket: Quit(ftp::kNoSocket); return;
    case Connector::Result::kNoBind: Quit(ftp::kNoBind); return;
    case Connector::Result::kRefused: Quit(ftp::CannotConnect(m_sHost)); return;
    case Connector::Result::kFailed: Quit(ftp::kConnectFailed); return;
  }
}

bool FtpSession::ListenForData(DataMode mode, uint32_t dwBindIp, uint32_t dwExpectedIp, uint16_t wPeerPort) {
  // A new PORT or 227 replaces the listener of the one before.
  m_dataMode = DataMode::kNone;
  if (!m_dataListener.Listen(dwBindIp, dwExpectedIp,
                             [this](Socket&& socket, const SocketAddress& /*peer*/) { OnDataAccepted(std::move(socket)); })) {
    return false;
  }
  m_dataMode = mode;
  m_wDataPort = wPeerPort;
  return true;
}

void FtpSession::OnDataAccepted(Socket&& socket) {
  const bool bActive = m_dataMode == DataMode::kActive;
  if (m_dataMode == DataMode::kNone) return;
  m_dataMode = DataMode::kNone;
  // One data connection at a time: one still open when the next arrives is given up.
  m_dataConnector.Cancel();
  m_lpData = std::make_unique<Relay>(*this, Relay::Policy::kHalf);
  // Active: the server called, the engine calls the client at the port it announced (the
  // address it reached the engine from, never the one the PORT named). Passive: the client
  // called, the engine calls the server, on the outgoing list's terms.
  const Relay::Side accepted = bActive ? Relay::kServer : Relay::kClient;
  const Relay::Side connected = bActive ? Relay::kClient : Relay::kServer;
  m_lpData->Expect(connected);
  if (!m_lpData->Attach(accepted, std::move(socket))) {
    m_lpData.reset();
    return;
  }
  m_dataConnector.SetOutgoingCheck(!bActive);
  m_dataConnector.StartAt(bActive ? m_clientAddress.m_dwIp : m_dwServerIp, m_wDataPort,
                          [this, connected](Connector::Result result, Socket&& peer) {
                            if (result == Connector::Result::kConnected) {
                              m_lpData->Attach(connected, std::move(peer));
                            } else {
                              m_lpData.reset();  // both halves go: the transfer fails
                            }
                            Resume();  // the control lines held while the connect was made
                          },
                          bActive ? 0 : m_dwServerFacingIp);
}

void FtpSession::OnRelayEnded(Relay& relay) {
  if (&relay == &m_control) {
    m_bControlEnded = true;
    // A transfer still under way is delivered before the session ends (the control reply
    // that it is complete may have come first); quitting ends everything at once.
    if (!m_bQuitting && m_lpData && !m_lpData->Ended()) return;
    Finish();
    return;
  }
  if (m_bControlEnded) Finish();
}

void FtpSession::OnIdleExpired() {
  if (m_bQuitting) {
    Finish();  // the goodbye did not get out in a whole period
    return;
  }
  Quit(ftp::kTimeOut);
}

SessionFactory FtpSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<FtpSession>(std::move(context));
  };
}

}  // namespace harbix
