// An HTTPS (CONNECT) tunnel session: reads the client's CONNECT request, connects to the host
// and port it names, answers with a fixed success line, and from then on copies bytes both
// ways without looking at them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/core/Connector.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"

namespace harbix {

class TunnelSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;
  static constexpr uint16_t kDefaultPort = 443;
  // The request line and header together may not grow beyond this: a client that never sends
  // the blank line must not fill the engine's memory.
  static constexpr size_t kMaxRequest = 64 * 1024;
  // The request is read in pieces of this size: requests are short, and a small frame keeps an
  // idle session thread's stack small.
  static constexpr size_t kRequestPiece = 1024;

  enum Error {
    kNoMethod = 0,
    kNoUrl = 1,
    kNoMemory = 2,
    kUnresolved = 3,
    kNoSocket = 4,
    kNoBind = 5,
    // 6 was a connect event for a socket other than the server's, which events routed by
    // socket cannot produce.
    kNoConnect = 7,
    kNotAllowed = 8,
  };
  static const char* ErrorMessage(Error error);

  // What a request line asks for.
  struct Request {
    bool m_bValid = false;
    Error m_error = kNoMethod;      // when not valid
    std::string m_sVersion = "HTTP/1.0";  // for the status line of an error response
    std::string m_sHost;
    uint16_t m_wPort = kDefaultPort;
    bool m_bCarriageReturn = false;  // the client ends its lines with CR LF
  };
  static Request ParseRequestLine(const std::string& sLine);

  static constexpr const char* kEstablished =
      "HTTP/1.0 200 Connection established\nProxy-Server: Quillbay Harbix Proxy Server\n\n";

  explicit TunnelSession(SessionContext&& context);

 protected:
  void OnCreate() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  void ReadRequest();
  // Takes the request line, when it is complete, without consuming anything behind it.
  bool TakeRequestLine();
  void ReadHeader();
  void OnConnected(Connector::Result result, Socket&& server);
  void SendError(Error error);
  // Counts what the request has taken so far; false (and the session ends) past the cap.
  bool WithinCap(size_t cbMore);

  Relay m_relay{*this};
  Connector m_connector{*this};
  std::string m_sRequest;  // the request line, then the seed and the header as it arrives
  size_t m_cbRequest = 0;  // what the line and the header took, together
  bool m_bLineComplete = false;
  bool m_bHeaderComplete = false;
  Request m_request;
};

SessionFactory TunnelSessionFactory();

}  // namespace harbix
