#include "engine/relay/TelnetSession.h"

#include <cctype>

#include "common/KeyReader.h"
#include "engine/core/EngineMessages.h"
#include "engine/core/HostResolver.h"

namespace harbix {
namespace {

constexpr char kBackspace = 0x08;
constexpr char kErase[] = {0x08, 0x20, 0x08};
constexpr const char* kGreeting = "Harbix TelNet Proxy OK\r\nSend HostName to Connect: ";

}  // namespace

TelnetSession::TelnetSession(SessionContext&& context) : RelaySession(std::move(context)) {}

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
  uint32_t dwPort = 0;
  while (nPos < sTrimmed.size() && std::isdigit(static_cast<unsigned char>(sTrimmed[nPos]))) {
    dwPort = (dwPort * 10 + static_cast<uint32_t>(sTrimmed[nPos] - '0')) & 0xFFFF;
    ++nPos;
  }
  *pwPort = static_cast<uint16_t>(dwPort);
  std::string_view sHost = std::string_view(sTrimmed).substr(0, nColon);
  while (!sHost.empty() && std::isspace(static_cast<unsigned char>(sHost.front()))) sHost.remove_prefix(1);
  *pHost = std::string(sHost);
}

void TelnetSession::OnCreate() {
  // FD_WRITE is asked for on the client socket too: without it, output to a client whose buffer
  // filled up would sit in its queue until the client happened to send something.
  if (!AttachClient()) return;
  Send(kGreeting);
  StartIdleCheck(kFirstIdleMs);
}

void TelnetSession::ReadHostLine() {
  // One byte at a time, so that whatever follows the line feed stays in the socket and is
  // relayed to the server as it is.
  while (!Closing() && !m_bRelaying) {
    const int nWaiting = m_client.m_socket.Available();
    if (nWaiting <= 0) {
      if (nWaiting < 0) Finish();
      return;
    }
    char c;
    if (m_client.m_socket.Recv(&c, 1) != 1) {
      Finish();
      return;
    }
    CountReceived(1);
    if (c == kBackspace) {
      if (!m_sHostLine.empty()) {
        m_sHostLine.pop_back();
        Enqueue(m_client, kErase, sizeof kErase);
      }
      continue;
    }
    m_sHostLine.push_back(c);
    Enqueue(m_client, &c, 1);
    if (c == '\n') {
      ParseHostLine(m_sHostLine, &m_sHost, &m_wPort);
      m_sHostLine.clear();
      Send("\r\nConnecting to '" + m_sHost + "'... Please Wait...\r\n");
      m_bRelaying = true;
      StartConnect();
      return;
    }
    if (m_sHostLine.size() >= kMaxHostLine) {
      Finish();  // nobody types a host name this long
      return;
    }
  }
}

void TelnetSession::StartConnect() {
  // Names are looked up off this thread: with every session on the service thread, a slow
  // name server must not hold up the other users.
  HostResolver::Resolve(m_sHost, Handle(), 0);
}

void TelnetSession::OnResolved(intptr_t nAddress) {
  if (nAddress == HostResolver::kFailed) {
    SendAndClose("Cannot Resolve Host '" + m_sHost + "'\r\n");
    return;
  }
  const auto dwIp = static_cast<uint32_t>(nAddress);
  if (!DestinationAllowed(dwIp)) {
    SendAndClose("Not allowed to connect to '" + m_sHost + "'\r\n");
    return;
  }
  switch (ConnectServer(dwIp, m_wPort)) {
    case ConnectStep::kDone: break;
    case ConnectStep::kSocket: SendAndClose("Cannot create a new SOCKET\r\n"); break;
    case ConnectStep::kBind: SendAndClose("Cannot bind SOCKET\r\n"); break;
    case ConnectStep::kConnect: SendAndClose("Cannot connect to '" + m_sHost + "'\r\n"); break;
  }
}

void TelnetSession::OnConnect(int hSocket, uint32_t dwError) {
  if (hSocket != m_server.m_socket.Fd()) {
    SendAndClose("Internal Error\r\n");
    return;
  }
  if (dwError != 0) {
    m_server.m_socket.Close();
    SendAndClose("Cannot connect to host\r\n");
    return;
  }
  if (!m_server.m_socket.Select(Handle(), FD_READ | FD_WRITE | FD_CLOSE)) Finish();
  // What the user typed while the connect was under way goes out with the FD_WRITE that
  // follows the connect.
}

SessionFactory TelnetSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<TelnetSession>(std::move(context));
  };
}

}  // namespace harbix
