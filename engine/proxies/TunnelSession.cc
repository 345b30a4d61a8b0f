#include "engine/proxies/TunnelSession.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <ctime>

#include "common/KeyReader.h"
#include "engine/core/EngineMessages.h"
#include "engine/core/HostResolver.h"
#include "engine/core/ProxyPage.h"

namespace harbix {
namespace {

// The terminator of the header: the earliest "\n\n" or "\r\n\r\n"; npos when neither is there.
std::pair<size_t, size_t> FindHeaderEnd(const std::string& sText) {
  const size_t nBare = sText.find("\n\n");
  const size_t nCrLf = sText.find("\r\n\r\n");
  if (nBare == std::string::npos && nCrLf == std::string::npos) return {std::string::npos, 0};
  if (nCrLf != std::string::npos && (nBare == std::string::npos || nCrLf < nBare)) return {nCrLf, 4};
  return {nBare, 2};
}

// The decimal number at the start of the text (0 when there is none), taken as 16 bits.
uint16_t PortNumber(std::string_view sText) {
  uint32_t dwPort = 0;
  for (char c : sText) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    dwPort = (dwPort * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFF;
  }
  return static_cast<uint16_t>(dwPort);
}

}  // namespace

const char* TunnelSession::ErrorMessage(Error error) {
  switch (error) {
    case kNoMethod: return "The request contains NO METHOD.";
    case kNoUrl: return "The request contains NO URL.";
    case kNoMemory: return "The server was unable to allocate enough memory.";
    case kUnresolved: return "The server was unable to map the IP address of the requested server.";
    case kNoSocket: return "The server was unable to create a new SOCKET.";
    case kNoBind: return "The server was unable to bind to the Server SOCKET.";
    case kInternal: return "An internal error occured.";
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
  if (nSpace == std::string::npos || ::strcasecmp(Trim(sLine.substr(0, nSpace)).c_str(), "CONNECT") != 0) {
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
    request.m_wPort = PortNumber(std::string_view(sAuthority).substr(nColon + 1));
    request.m_sHost = Trim(sAuthority.substr(0, nColon));
  } else {
    request.m_sHost = sAuthority;
  }
  request.m_bValid = true;
  return request;
}

TunnelSession::TunnelSession(SessionContext&& context) : RelaySession(std::move(context)) {}

void TunnelSession::OnCreate() {
  if (AttachClient()) StartIdleCheck(kFirstIdleMs);
}

void TunnelSession::ReadRequest() {
  if (!m_bLineComplete) {
    if (!TakeRequestLine()) return;
    m_request = ParseRequestLine(m_sRequest);
    if (!m_request.m_bValid) {
      SendError(m_request.m_error);
      return;
    }
    // The seed: the line end the client used, so that a header with no lines at all ends at
    // the blank line that follows.
    m_sRequest = m_request.m_bCarriageReturn ? "\r\n" : "\n";
    HostResolver::Resolve(m_request.m_sHost, Handle(), 0);
  }
  ReadHeader();
}

bool TunnelSession::TakeRequestLine() {
  char buffer[kRequestPiece];
  while (!Over()) {
    // Peek, then take exactly up to the line feed: what follows stays in the socket.
    const long nSeen = m_client.m_socket.Peek(buffer, sizeof buffer);
    if (nSeen <= 0) {
      if (nSeen < 0 && errno != EAGAIN && errno != EWOULDBLOCK) Finish();
      return false;  // nothing yet, or the end of the stream (FD_CLOSE follows)
    }
    const char* lpEnd = static_cast<const char*>(std::memchr(buffer, '\n', static_cast<size_t>(nSeen)));
    const size_t cbTake = lpEnd ? static_cast<size_t>(lpEnd - buffer) + 1 : static_cast<size_t>(nSeen);
    if (m_client.m_socket.Recv(buffer, cbTake) != static_cast<long>(cbTake)) {
      Finish();
      return false;
    }
    CountReceived(cbTake);
    m_sRequest.append(buffer, cbTake);
    if (lpEnd) {
      m_bLineComplete = true;
      return true;
    }
    if (m_sRequest.size() >= kMaxRequest) {
      Finish();
      return false;
    }
  }
  return false;
}

void TunnelSession::ReadHeader() {
  char buffer[kRequestPiece];
  bool bMoreWaiting = false;
  while (!Over() && !m_bHeaderComplete) {
    const long nRead = m_client.m_socket.Recv(buffer, sizeof buffer);
    bMoreWaiting = nRead == static_cast<long>(sizeof buffer);
    if (nRead <= 0) {
      if (nRead < 0 && errno != EAGAIN && errno != EWOULDBLOCK) Finish();
      return;  // nothing more yet, or the end of the stream (FD_CLOSE follows)
    }
    CountReceived(static_cast<uint64_t>(nRead));
    m_sRequest.append(buffer, static_cast<size_t>(nRead));
    const auto [nEnd, cbTerminator] = FindHeaderEnd(m_sRequest);
    if (nEnd == std::string::npos) {
      if (m_sRequest.size() >= kMaxRequest) Finish();
      if (static_cast<size_t>(nRead) < sizeof buffer) return;  // a short read emptied the socket
      continue;
    }
    // The header lines are never forwarded; what follows the blank line is the start of the
    // tunnelled data and waits for the server if it is not connected yet.
    m_bHeaderComplete = true;
    const std::string sRest = m_sRequest.substr(nEnd + cbTerminator);
    m_sRequest.clear();
    m_sRequest.shrink_to_fit();
    if (!sRest.empty()) Enqueue(m_server, sRest.data(), sRest.size());
  }
  // From here on client reads go through the relay; more may be waiting already.
  if (m_bHeaderComplete && bMoreWaiting && !Over()) Pump(m_client, m_server, kClientChunk);
}

void TunnelSession::OnResolved(intptr_t nAddress) {
  if (nAddress == HostResolver::kFailed) {
    SendError(kUnresolved);
    return;
  }
  const auto dwIp = static_cast<uint32_t>(nAddress);
  if (!DestinationAllowed(dwIp)) {
    SendError(kNotAllowed);
    return;
  }
  switch (ConnectServer(dwIp, m_request.m_wPort)) {
    case ConnectStep::kDone: break;
    case ConnectStep::kSocket: SendError(kNoSocket); break;
    case ConnectStep::kBind: SendError(kNoBind); break;
    case ConnectStep::kConnect: SendError(kNoConnect); break;
  }
}

void TunnelSession::OnConnect(int hSocket, uint32_t dwError) {
  if (hSocket != m_server.m_socket.Fd()) {
    SendError(kInternal);
    return;
  }
  if (dwError != 0) {
    SendError(kNoConnect);
    return;
  }
  Enqueue(m_client, kEstablished, std::char_traits<char>::length(kEstablished));
  if (!Over() && !m_server.m_socket.Select(Handle(), FD_READ | FD_WRITE | FD_CLOSE)) Finish();
}

void TunnelSession::SendError(Error error) {
  SendAndClose(TunnelErrorResponse(m_request.m_sVersion, ErrorMessage(error), std::time(nullptr)));
}

SessionFactory TunnelSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> {
    return std::make_unique<TunnelSession>(std::move(context));
  };
}

}  // namespace harbix
