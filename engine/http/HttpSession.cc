#include "engine/http/HttpSession.h"

#include <cerrno>
#include <ctime>

#include "common/Text.h"
#include "engine/core/HostResolver.h"
#include "engine/http/CacheReply.h"
#include "engine/http/MimeTypes.h"
#include "platform/Trace.h"

namespace harbix {

namespace {

bool CachingWanted(const std::shared_ptr<HttpCache>& lpCache, const HttpRequest& request) {
  return lpCache && lpCache->Enabled() && !request.NoCache();
}

}  // namespace

HttpSession::HttpSession(SessionContext&& context)
    : Session(std::move(context)), m_lpCache(std::static_pointer_cast<HttpCache>(m_context.m_lpServiceState)) {}

void HttpSession::OnCreate() {
  // The request is read here; the relay takes the client over once it has been forwarded.
  m_relay.Hold(Relay::kClient);
  if (m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) StartIdleCheck(kFirstIdleMs);
}

void HttpSession::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (!m_bHeaderComplete && dwEvent == FD_READ && hSocket == m_relay.SocketOf(Relay::kClient).Fd()) {
    ReadRequest();
    return;
  }
  RouteSocketEvent(hSocket, dwEvent, dwError);
}

void HttpSession::ReadRequest() {
  if (m_request.Current() == HttpRequest::State::kLine) {
    if (!TakeRequestLine()) return;
    LookUpServer();
  }
  ReadHeader();
}

bool HttpSession::TakeRequestLine() {
  char buffer[1024];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  while (!Closing() && client) {
    // The header stays in the socket, to be read in larger pieces.
    const size_t cbTaken = ReadRequestLine(client, buffer);
    if (cbTaken == 0) return false;
    switch (m_request.TakeLine(std::string_view(buffer, cbTaken))) {
      case HttpRequest::State::kLine:
        continue;
      case HttpRequest::State::kFailed:
        SendError(static_cast<int>(m_request.Error()));
        return false;
      default:
        if (m_request.NoScheme()) Trace("%s(!!!)", m_request.Url().c_str());
        return true;
    }
  }
  return false;
}

void HttpSession::ReadHeader() {
  char buffer[kRequestPiece];
  Socket& client = m_relay.SocketOf(Relay::kClient);
  while (!Closing() && !m_bHeaderComplete && client) {
    const size_t cbRead = ReadRequestPiece(client, buffer);
    if (cbRead == 0) return;
    m_bMoreWaiting = cbRead == sizeof buffer;
    switch (m_request.TakeHeader(std::string_view(buffer, cbRead))) {
      case HttpRequest::State::kHeader:
        continue;
      case HttpRequest::State::kFailed:
        SendError(static_cast<int>(m_request.Error()));
        return;
      default:
        m_bHeaderComplete = true;
        Decide();
        return;
    }
  }
}

void HttpSession::LookUpServer() {
  if (std::optional<uint32_t> dwIp = ParseDottedAddress(m_request.Host())) {
    m_dwServerIp = dwIp;
    return;
  }
  // Looked up off this thread, while the header arrives: a slow name server holds up nobody
  // else, on this thread or any other.
  HostResolver::Resolve(m_request.Host(), Handle(), [this](const std::optional<HostEntry>& host) {
    if (Closing()) return;
    if (!host || host->m_vAddresses.empty()) {
      SendError(static_cast<int>(HttpError::kUnresolved));
      return;
    }
    m_dwServerIp = host->m_vAddresses.front();
    if (m_bHeaderComplete) Decide();
  });
}

void HttpSession::Decide() {
  if (m_bDecided || Closing() || !m_dwServerIp) return;  // the lookup's answer decides later
  m_bDecided = true;
  if (!DestinationAllowed(*m_dwServerIp)) {
    SendError(static_cast<int>(HttpError::kNotAllowed));
    return;
  }
  const int32_t nNow = static_cast<int32_t>(std::time(nullptr));
  if (CachingWanted(m_lpCache, m_request)) {
    if (const std::optional<HttpCache::Hit> hit = m_lpCache->Lookup(m_request.Host(), m_request.Port(), m_request.Path(), nNow)) {
      Trace("%s%s FROM CACHE", m_request.Host().c_str(), m_request.Path().c_str());
      if (m_request.IfModifiedSince() != -1 && hit->m_nLastModified <= m_request.IfModifiedSince()) {
        SendStatus(304);
        return;
      }
      if (m_request.IfUnmodifiedSince() != -1 && hit->m_nLastModified > m_request.IfUnmodifiedSince()) {
        SendStatus(412);
        return;
      }
      if (Serve(*hit)) return;
      Trace("FILE TRANSFERT FAILED");
    }
  }
  Forward();
}

bool HttpSession::Serve(const HttpCache::Hit& hit) {
  auto lpFile = std::make_shared<File>(File::OpenRead(hit.m_sFilePath));
  const int64_t nSize = lpFile->Valid() ? lpFile->Size() : -1;
  if (nSize < 0) {
    Trace("CANNOT OPEN CACHE FILE");
    return false;
  }
  const CachedBody body{static_cast<uint64_t>(nSize), hit.m_nLastModified, hit.m_nExpires, MimeTypes::System().TypeOf(hit.m_sFileName)};
  // The body streams from the file as fast as the client takes it, between the composed parts.
  for (const CacheReply::Piece& piece : BuildCacheReply(m_request.ClientVersion(), body, m_request.Range(), std::time(nullptr)).m_vPieces) {
    m_relay.Send(Relay::kClient, piece.m_sText);
    if (piece.m_qwLength > 0) m_relay.SendFile(Relay::kClient, lpFile, static_cast<int64_t>(piece.m_qwFirst), piece.m_qwLength);
  }
  m_relay.EndAfterSending(Relay::kClient);
  return true;
}

void HttpSession::Forward() {
  // The rewritten request waits for the server; the client's later bytes (a body) go behind it.
  m_relay.Expect(Relay::kServer);
  m_relay.Send(Relay::kServer, m_request.TakeForwarded());
  m_relay.Release(Relay::kClient, m_bMoreWaiting);
  if (CachingWanted(m_lpCache, m_request)) {
    m_lpWatcher = std::make_unique<HttpResponseWatcher>(static_cast<int32_t>(std::time(nullptr)),
                                                       [this](HttpResponseWatcher::Verdict verdict) { OnVerdict(verdict); });
    m_relay.SetTap(Relay::kServer, m_lpWatcher.get());
  }
  m_connector.StartAt(*m_dwServerIp, m_request.Port(),
                      [this](Connector::Result result, Socket&& server) { OnConnected(result, std::move(server)); });
}

void HttpSession::OnConnected(Connector::Result result, Socket&& server) {
  switch (result) {
    case Connector::Result::kConnected: m_relay.Attach(Relay::kServer, std::move(server)); break;
    case Connector::Result::kUnresolved: SendError(static_cast<int>(HttpError::kUnresolved)); break;
    case Connector::Result::kNotAllowed: SendError(static_cast<int>(HttpError::kNotAllowed)); break;
    case Connector::Result::kNoSocket: SendError(static_cast<int>(HttpError::kNoSocket)); break;
    case Connector::Result::kNoBind: SendError(static_cast<int>(HttpError::kNoBind)); break;
    case Connector::Result::kRefused:
    case Connector::Result::kFailed: SendError(static_cast<int>(HttpError::kNoConnect)); break;
  }
}

void HttpSession::OnVerdict(HttpResponseWatcher::Verdict verdict) {
  const HttpResponseWatcher::Response& response = m_lpWatcher->Result();
  if (verdict == HttpResponseWatcher::Verdict::kStore) {
    if (const char* lpRefusal = HttpCache::Refusal(response, m_request.Path())) {
      Trace("NOT STORED (%s)", lpRefusal);
    } else {
      // The body bytes the watcher saw go first; the writer sees the rest as it is relayed.
      m_lpWriter = m_lpCache->BeginStore(m_request, response, std::string_view(m_lpWatcher->Seen()).substr(response.m_cbHeader));
    }
  }
  // Without a writer the body goes by unwatched (and is spliced again).
  m_relay.SetTap(Relay::kServer, m_lpWriter.get());
}

void HttpSession::OnRelayEnded(Relay& relay) {
  if (m_lpWriter) m_lpCache->Commit(std::move(m_lpWriter), static_cast<int32_t>(std::time(nullptr)));
  Session::OnRelayEnded(relay);
}

void HttpSession::SendStatus(unsigned nCode) {
  m_relay.Send(Relay::kClient, HttpStatusResponse(m_request.ClientVersion(), nCode, std::time(nullptr)));
  m_relay.EndAfterSending(Relay::kClient);
}

void HttpSession::SendError(int nReason) {
  if (Closing()) return;
  m_relay.Send(Relay::kClient, HttpErrorResponse(m_request.ClientVersion(), nReason, std::time(nullptr)));
  m_relay.EndAfterSending(Relay::kClient);
}

SessionFactory HttpSessionFactory() {
  return [](SessionContext&& context) -> std::unique_ptr<Session> { return std::make_unique<HttpSession>(std::move(context)); };
}

}  // namespace harbix
