// A Telnet proxy session: greets the user, collects the host line they type (with backspace and
// echo), connects to "host[:port]" and from then on relays both directions unchanged.
#pragma once

#include <string>

#include "engine/core/Connector.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"

namespace harbix {

// What the user types before the connection: a line with backspace editing, and its echo.
class HostLineEditor {
 public:
  // A line that grows this long without a line feed is given up.
  static constexpr size_t kMaxLine = 1024;
  enum class State { kTyping, kComplete, kTooLong };

  // One typed byte; what the user is to see for it is appended to *pEcho.
  State Feed(char c, std::string* pEcho);
  // The line so far (a complete one ends with its line feed).
  const std::string& Line() const { return m_sLine; }

 private:
  std::string m_sLine;
};

class TelnetSession : public Session {
 public:
  static constexpr uint16_t kDefaultPort = 23;
  static constexpr uint32_t kFirstIdleMs = 30000;
  // A host line that grows this long without a line feed ends the session.
  static constexpr size_t kMaxHostLine = HostLineEditor::kMaxLine;

  explicit TelnetSession(SessionContext&& context);

  // "host[:port]" as typed, trimmed; the port is the decimal number after the first colon
  // (leading blanks skipped, 0 when there is none, taken modulo 2^16), 23 without a colon.
  static void ParseHostLine(const std::string& sLine, std::string* pHost, uint16_t* pwPort);

 protected:
  void OnCreate() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  void ReadHostLine();
  void OnConnected(Connector::Result result, Socket&& server);
  void Send(const std::string& sText) { m_relay.Send(Relay::kClient, sText); }
  // The text goes to the user, and the session ends once it is out.
  void SendAndEnd(const std::string& sText);

  Relay m_relay{*this};
  Connector m_connector{*this};
  HostLineEditor m_hostLine;
  std::string m_sHost;
  uint16_t m_wPort = kDefaultPort;
  bool m_bRelaying = false;
};

SessionFactory TelnetSessionFactory();

}  // namespace harbix
