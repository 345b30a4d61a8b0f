// A Telnet proxy session: greets the user, collects the host line they type (with backspace and
// echo), connects to "host[:port]" and from then on relays both directions unchanged.
#pragma once

#include <string>

#include "engine/core/RelaySession.h"

namespace harbix {

class TelnetSession : public RelaySession {
 public:
  static constexpr uint16_t kDefaultPort = 23;
  static constexpr uint32_t kFirstIdleMs = 30000;
  // A host line that grows this long without a line feed ends the session.
  static constexpr size_t kMaxHostLine = 1024;
  // Client reads while relaying stop one short of the server's chunk.
  static constexpr size_t kClientChunk = 8191;

  explicit TelnetSession(SessionContext&& context);

  // "host[:port]" as typed, trimmed; the port is the decimal number after the first colon
  // (leading blanks skipped, 0 when there is none, taken modulo 2^16), 23 without a colon.
  static void ParseHostLine(const std::string& sLine, std::string* pHost, uint16_t* pwPort);

 protected:
  void OnCreate() override;
  bool Relaying() const override { return m_bRelaying; }
  void OnClientRequest() override { ReadHostLine(); }
  void OnResolved(intptr_t nAddress) override;
  void OnConnect(int hSocket, uint32_t dwError) override;
  size_t ClientChunk() const override { return kClientChunk; }

 private:
  void ReadHostLine();
  void StartConnect();
  void Send(const std::string& sText) { Enqueue(m_client, sText.data(), sText.size()); }

  std::string m_sHostLine;
  std::string m_sHost;
  uint16_t m_wPort = kDefaultPort;
  bool m_bRelaying = false;
};

SessionFactory TelnetSessionFactory();

}  // namespace harbix
