#include "engine/relay/TelnetSession.h"

#include <cctype>

#include "common/Text.h"

namespace harbix {
namespace {

constexpr char kBackspace = 0x08;
constexpr char kErase[] = {0x08, 0x20, 0x08};
constexpr const char* kGreeting = "Harbix TelNet Proxy OK\r\nSend HostName to Connect: ";

}  // namespace

TelnetSession::TelnetSession(SessionContext&& context) : Session(std::move(context)) {}

void TelnetSession::ParseHostLine(const std::string& sLine, std::string* pHost, uint16_t* pwPort) {
  const std::string sTrimmed = Trim(sLine);
  *pwPort = kDefaultPort;
  const size_t nColon = sTrimmed.find(':');
  if (nColon == std::string::npos) {
    *pHost = sTrimmed;
    return;
  }
  size_t nPos = nColon + 1;
  while (nPos < sTrimmed.size() && std::isspace(static_cast<unsigned char>(sTrimmed[nPos]))) ++nPos;
  *pwPort = LeadingPort(std::string_view(sTrimmed).substr(nPos));
  std::string_view sHost = std::string_view(sTrimmed).substr(0, nColon);
  while (!sHost.empty() && std::isspace(static_cast<unsigned char>(sHost.front()))) sHost.remove_prefix(1);
  *pHost = std::string(sHost);
}

void TelnetSession::OnCreate() {
  // The host line is read here, a byte at a time; the relay takes the client over once it is
  // complete.
  m_relay.Hold(Relay::kClient);
  if (!m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) return;
  Send(kGreeting);
  StartIdleCheck(kFirstIdleMs);
}

void TelnetSession::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (!m_bRelaying && dwEvent == FD_READ && hSocket == m_relay.SocketOf(Relay::kClient).Fd()) {
    ReadHostLine();
    return;
  }
  RouteSocketEvent(hSocket, dwEvent, dwError);
}

HostLineEditor::State HostLineEditor::Feed(char c, std::string* pEcho) {
  if (c == kBackspace) {
    if (!m_sLine.empty()) {
      m_sLine.pop_back();
      pEcho->append(kErase, sizeof kErase);
    }
    return State::kTyping;
  }
  m_sLine.push_back(c);
  pEcho->push_back(c);
  if (c == '\n') return State::kComplete;
  return m_sLine.size() >= kMaxLine ? State::kTooLong : State::kTyping;
}

void TelnetSession::ReadHostLine() {
  // One byte at a time, so that whatever follows the line feed stays in the socket and is
  // relayed to the server as it is. The echo of what was read goes out in one piece.
  Socket& client = m_relay.SocketOf(Relay::kClient);
  std::string sEcho;
  while (!Closing() && !m_bRelaying && client) {
    const int nWaiting = client.Available();
    if (nWaiting <= 0) {
      if (nWaiting < 0) {
        NoteEnd("ioctl", errno);
        Finish();
      }
      break;
    }
    char c;
    if (client.Recv(&c, 1) != 1) {
      NoteEnd("recv", errno);
      Finish();
      break;
    }
    CountReceived(1);
    const HostLineEditor::State state = m_hostLine.Feed(c, &sEcho);
    if (state == HostLineEditor::State::kComplete) {
      ParseHostLine(m_hostLine.Line(), &m_sHost, &m_wPort);
      Send(sEcho + "\r\nConnecting to '" + m_sHost + "'... Please Wait...\r\n");
      m_bRelaying = true;
      // What the user types while the connect is under way waits for the server.
      m_relay.Expect(Relay::kServer);
      m_relay.Release(Relay::kClient, nWaiting > 1);  // what came behind the line feed
      m_connector.Start(m_sHost, m_wPort, [this](Connector::Result result, Socket&& server) { OnConnected(result, std::move(server)); });
      return;
    }
    if (state == HostLineEditor::State::kTooLong) {
      NoteEnd("host line too long");
      Send(sEcho);
      m_relay.EndAfterSending(Relay::kClient);  // nobody types a host name this long
      return;
    }
  }
  if (!Closing()) Send(sEcho);
}

void TelnetSession::OnConnected(Connector::Result result, Socket&& server) {
  switch (result) {
    case Connector::Result::kConnected: m_relay.Attach(Relay::kServer, std::move(server)); break;
    case Connector::Result::kUnresolved: SendAndEnd("Cannot Resolve Host '" + m_sHost + "'\r\n"); break;
    case Connector::Result::kNotAllowed: SendAndEnd("Not allowed to connect to '" + m_sHost + "'\r\n"); break;
    case Connector::Result::kNoSocket: SendAndEnd("Cannot create a new SOCKET\r\n"); break;
    case Connector::Result::kNoBind: SendAndEnd("Cannot bind SOCKET\r\n"); break;
    case Connector::Result::kRefused: SendAndEnd("Cannot connect to '" + m_sHost + "'\r\n"); break;
    case Connector::Result::kFailed: SendAndEnd("Cannot connect to host\r\n"); break;
  }
}

void TelnetSession::SendAndEnd(const std::string& sText) {
  if (Closing()) return;
  Send(sText);
  m_relay.EndAfterSending(Relay::kClient);
}

SessionFactory TelnetSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<TelnetSession>(std::move(context));
  };
}

}  // namespace harbix
