// An HTTP proxy session: reads the client's request (an absolute URL), rewrites it into the form
// an origin server expects, decides between the cache and the network, connects to the origin
// server and relays the response back unchanged while a watcher reads its header.
//
// Each connection carries one exchange: the forwarded request asks the origin server to close
// after its response, so a client sends its next request (often for another host) on a new
// connection. A request that asks for an upgrade (a WebSocket) keeps its connection, and the
// relay carries what follows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/core/Connector.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"
#include "engine/http/HttpCache.h"
#include "engine/http/HttpPages.h"
#include "engine/http/HttpRequest.h"
#include "engine/http/HttpResponseWatcher.h"

namespace harbix {

class HttpSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;
  // The request is read in pieces of at most this size.
  static constexpr size_t kRequestPiece = 8191;

  explicit HttpSession(SessionContext&& context);

  // The session is over: a stored body goes into the cache, then the owner is told.
  void OnRelayEnded(Relay& relay) override;

 protected:
  void OnCreate() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  void ReadRequest();
  // Takes the request line, when it is complete, without consuming anything behind it.
  bool TakeRequestLine();
  void ReadHeader();
  void LookUpServer();
  // The request is complete and the server's address known: the cache or the network.
  void Decide();
  // Answers from the cache file; false when it cannot be read (the request then goes out).
  bool Serve(const HttpCache::Hit& hit);
  void Forward();
  void OnConnected(Connector::Result result, Socket&& server);
  void OnVerdict(HttpResponseWatcher::Verdict verdict);
  // The proxy's error page, and the session ends once it is out.
  void SendError(int nReason);
  // One of the proxy's status pages (304, 412).
  void SendStatus(unsigned nCode);

  Relay m_relay{*this};
  Connector m_connector{*this};
  HttpRequest m_request;
  std::shared_ptr<HttpCache> m_lpCache;  // the service's, when it has one
  std::unique_ptr<HttpResponseWatcher> m_lpWatcher;
  std::unique_ptr<CacheWriter> m_lpWriter;
  std::optional<uint32_t> m_dwServerIp;   // once the name is looked up
  bool m_bHeaderComplete = false;
  bool m_bDecided = false;
  bool m_bMoreWaiting = false;  // the last read of the header filled its buffer
};

SessionFactory HttpSessionFactory();

}  // namespace harbix
