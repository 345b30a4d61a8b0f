#include "engine/proxies/TunnelSession.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <ctime>

#include "common/Text.h"
#include "engine/core/ProxyPage.h"

namespace harbix {

const char* TunnelSession::ErrorMessage(Error error) {
  switch (error) {
    case kNoMethod: return "The request contains NO METHOD.";
    case kNoUrl: return "The request contains NO URL.";
    case kNoMemory: return "The server was unable to allocate enough memory.";
    case kUnresolved: return "The server was unable to map the IP address of the requested server.";
    case kNoSocket: return "The server was unable to create a new SOCKET.";
    case kNoBind: return "The server was unable to bind to the Server SOCKET.";
    case kNoConnect: return "The server was unable to connect to the requested Server.";
    case kNotAllowed: return "Not Allowed to connect to this site.";
  }
  return "An unknown error occured.";
}

TunnelSession::Request TunnelSession::ParseRequestLine(const std::string& sRaw) {
  Request request;
  request.m_bCarriageReturn = sRaw.find('\r') != std::string::npos;
  const std::string sLine = Trim(sRaw);
  const size_t nSpace = sLine.find(' ');
  if (nSpace == std::string::npos || !EqualNoCase(Trim(sLine.substr(0, nSpace)), "CONNECT")) {
    request.m_error = kNoMethod;  // the version is not looked at
    return request;
  }
  const std::string sRest = Trim(sLine.substr(nSpace + 1));
  const size_t nSecond = sRest.find(' ');
  if (nSecond == std::string::npos) {
    request.m_error = kNoUrl;
    return request;
  }
  std::string sTarget = Trim(sRest.substr(0, nSecond));
  if (Trim(sRest.substr(nSecond + 1)) == "HTTP/1.1") request.m_sVersion = "HTTP/1.1";

  if (const size_t nScheme = sTarget.find("://"); nScheme != std::string::npos) sTarget = sTarget.substr(nScheme + 3);
  sTarget = Trim(sTarget);
  const std::string sAuthority = sTarget.substr(0, sTarget.find('/'));  // the path goes
  if (const size_t nColon = sAuthority.find(':'); nColon != std::string::npos) {
    request.m_wPort = LeadingPort(std::string_view(sAuthority).substr(nColon + 1));
    request.m_sHost = Trim(sAuthority.substr(0, nColon));
  } else {
    request.m_sHost = sAuthority;
  }
  request.m_bValid = true;
  return request;
}

TunnelRequestReader::State TunnelRequestReader::Grow(size_t cbMore) {
  m_cbTaken += cbMore;
  if (m_cbTaken >= kMaxRequest) m_state = State::kTooLong;
  return m_state;
}

TunnelRequestReader::State TunnelRequestReader::TakeLine(std::string_view sTaken) {
  if (m_state != State::kLine) return m_state;
  m_sText.append(sTaken);
  if (!sTaken.empty() && sTaken.back() == '\n') {
    m_cbTaken += sTaken.size();
    return m_state = State::kHeader;
  }
  return Grow(sTaken.size());
}

void TunnelRequestReader::StartHeader(bool bCarriageReturn) { m_sText = bCarriageReturn ? "\r\n" : "\n"; }

TunnelRequestReader::State TunnelRequestReader::TakeHeader(std::string_view sRead) {
  if (m_state != State::kHeader) return m_state;
  m_sText.append(sRead);
  const std::optional<HeaderEnd> end = FindHeaderEnd(m_sText);
  if (!end) return Grow(sRead.size());
  m_sRest = m_sText.substr(end->m_nPos + end->m_cbTerminator);
  m_sText.clear();
  m_sText.shrink_to_fit();
  return m_state = State::kComplete;
}

TunnelSession::TunnelSession(SessionContext&& context) : Session(std::move(context)) {}

void TunnelSession::OnCreate() {
  // The request is read here; the relay takes the client over once the header has ended.
  m_relay.Hold(Relay::kClient);
  if (m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) StartIdleCheck(kFirstIdleMs);
}

void TunnelSession::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (!m_bHeaderComplete && dwEvent == FD_READ && hSocket == m_relay.SocketOf(Relay::kClient).Fd()) {
    ReadRequest();
    return;
  }
  RouteSocketEvent(hSocket, dwEvent, dwError);
}

void TunnelSession::EndTooLong() {
  NoteEnd("request too long");
  m_relay.EndAfterSending(Relay::kClient);
}

void TunnelSession::ReadRequest() {
  if (!m_bLineComplete) {
    if (!TakeRequestLine()) return;
    m_request = ParseRequestLine(m_reader.Line());
    if (!m_request.m_bValid) {
      SendError(m_request.m_error);
      return;
    }
    m_reader.StartHeader(m_request.m_bCarriageReturn);
    m_relay.Expect(Relay::kServer);
    m_connector.Start(m_request.m_sHost, m_request.m_wPort,
                      [this](Connector::Result result, Socket&& server) { OnConnected(result, std::move(server)); });
  }
  ReadHeader();
}

bool TunnelSession::TakeRequestLine() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  while (!Closing() && client) {
    // What follows the line stays in the socket.
    const size_t cbTaken = ReadRequestLine(client, buffer);
    if (cbTaken == 0) return false;
    switch (m_reader.TakeLine(std::string_view(buffer, cbTaken))) {
      case TunnelRequestReader::State::kLine: continue;
      case TunnelRequestReader::State::kTooLong: EndTooLong(); return false;
      default: m_bLineComplete = true; return true;
    }
  }
  return false;
}

void TunnelSession::ReadHeader() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  while (!Closing() && !m_bHeaderComplete && client) {
    const size_t cbRead = ReadRequestPiece(client, buffer);
    if (cbRead == 0) return;
    const TunnelRequestReader::State state = m_reader.TakeHeader(std::string_view(buffer, cbRead));
    if (state == TunnelRequestReader::State::kTooLong) {
      EndTooLong();
      return;
    }
    if (state != TunnelRequestReader::State::kComplete) continue;
    // The header lines are never forwarded; what follows the blank line is the start of the
    // tunnelled data and waits for the server if it is not connected yet.
    m_bHeaderComplete = true;
    const std::string sRest = m_reader.TakeRest();
    if (!sRest.empty()) m_relay.Send(Relay::kServer, sRest);
    // A read that filled the buffer may have left more in the socket.
    m_relay.Release(Relay::kClient, cbRead == sizeof buffer);
  }
}

void TunnelSession::OnConnected(Connector::Result result, Socket&& server) {
  switch (result) {
    case Connector::Result::kConnected:
      m_relay.Send(Relay::kClient, kEstablished);
      m_relay.Attach(Relay::kServer, std::move(server));
      break;
    case Connector::Result::kUnresolved: SendError(kUnresolved); break;
    case Connector::Result::kNotAllowed: SendError(kNotAllowed); break;
    case Connector::Result::kNoSocket: SendError(kNoSocket); break;
    case Connector::Result::kNoBind: SendError(kNoBind); break;
    case Connector::Result::kRefused:
    case Connector::Result::kFailed: SendError(kNoConnect); break;
  }
}

void TunnelSession::SendError(Error error) {
  if (Closing()) return;
  m_relay.Send(Relay::kClient, TunnelErrorResponse(m_request.m_sVersion, ErrorMessage(error), std::time(nullptr)));
  m_relay.EndAfterSending(Relay::kClient);
}

SessionFactory TunnelSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<TunnelSession>(std::move(context));
  };
}

}  // namespace harbix
