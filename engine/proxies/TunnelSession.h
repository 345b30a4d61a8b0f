// An HTTPS (CONNECT) tunnel session: reads the client's CONNECT request, connects to the host
// and port it names, answers with a fixed success line, and from then on copies bytes both
// ways without looking at them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/Connector.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"

namespace harbix {

// The client's request as it arrives: its line, taken without anything behind it, then its
// header, skipped up to the blank line, under one cap for both together.
class TunnelRequestReader {
 public:
  // A client that never ends its request must not fill the engine's memory.
  static constexpr size_t kMaxRequest = 64 * 1024;
  enum class State { kLine, kHeader, kComplete, kTooLong };

  // The bytes taken for the line; kHeader once it is complete (Line() is the whole line).
  State TakeLine(std::string_view sTaken);
  const std::string& Line() const { return m_sText; }
  // The header is seeded with the line end the client used, so that a request with no header
  // lines at all ends at the blank line that follows.
  void StartHeader(bool bCarriageReturn);
  // Bytes read after the line; kComplete once the header has ended.
  State TakeHeader(std::string_view sRead);
  // What followed the blank line: the start of the tunnelled data.
  std::string TakeRest() { return std::move(m_sRest); }

 private:
  State Grow(size_t cbMore);

  std::string m_sText;
  std::string m_sRest;
  size_t m_cbTaken = 0;  // what the line and the header took, together
  State m_state = State::kLine;
};

class TunnelSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;
  static constexpr uint16_t kDefaultPort = 443;
  static constexpr size_t kMaxRequest = TunnelRequestReader::kMaxRequest;
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
  // A request past the cap ends the session.
  void EndTooLong();

  Relay m_relay{*this};
  Connector m_connector{*this};
  TunnelRequestReader m_reader;
  bool m_bLineComplete = false;
  bool m_bHeaderComplete = false;
  Request m_request;
};

SessionFactory TunnelSessionFactory();

}  // namespace harbix
