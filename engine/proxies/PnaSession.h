// A PNA session: reads the streaming player's proxy header, connects to the server it names,
// answers with a status record and relays the stream. A player that asks for UDP delivery gets
// a UDP socket of the proxy's for each port it offers the server: the proxy puts its own ports
// into the stream's first bytes, and carries the datagrams of each channel between the server
// and the player.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/ByteTap.h"
#include "engine/core/Connector.h"
#include "engine/core/DatagramPort.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"
#include "engine/proxies/PnaHeader.h"

namespace harbix {

class PnaSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;
  // The header is read in pieces of this size: it is short, and what the client sends behind it
  // before the answer is held by the session.
  static constexpr size_t kRequestPiece = 512;
  // With UDP delivery what the player sends behind its header waits until the server is
  // connected, as the ports in it are replaced; this much at most (a player's stream header is
  // far shorter, and the player waits for the answer anyway).
  static constexpr size_t kMaxHeld = 8192;
  // The player's own port, and the one its stream header names.
  static constexpr size_t kChannels = 2;

  explicit PnaSession(SessionContext&& context);

 protected:
  void OnCreate() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  // One UDP channel: the server's datagrams go to the player's port, the player's to the
  // server's port (0 while it is not known).
  struct UdpChannel {
    explicit UdpChannel(Session& session) : m_port(session) {}
    DatagramPort m_port;
    uint16_t m_wClientPort = 0;
    uint16_t m_wServerPort = 0;
  };
  // Gathers the start of the server's stream, which names the server's second UDP port.
  class AnswerWatch : public ByteTap {
   public:
    explicit AnswerWatch(PnaSession& session) : m_session(session) {}
    void OnBytes(const char* lpData, size_t cbData) override;
    void OnEnd(bool bComplete) override;

   private:
    PnaSession& m_session;
    std::string m_sHead;
  };

  void ReadHeader();
  void Connect();
  // Reads what the player sends behind its header while the connect is under way.
  void HoldStreamStart();
  void OnConnected(Connector::Result result, Socket&& server);
  // Hands the client to the relay, what it sent behind the header first.
  void ForwardHeld();
  // Opens a channel for each port the held bytes name and writes the proxy's ports over them.
  bool StartUdp();
  bool OpenChannel(size_t nChannel, size_t nAt, uint16_t wClientPort);
  void OnServerAnswer(std::string_view sHead);
  void OnDatagram(size_t nChannel, const SocketAddress& from, std::string_view sDatagram);
  // The error reply, after which the session ends.
  void SendError(pna::Status status);

  Relay m_relay{*this};
  Connector m_connector{*this};
  std::array<UdpChannel, kChannels> m_aChannels{UdpChannel(*this), UdpChannel(*this)};
  AnswerWatch m_answerWatch{*this};
  PnaHeader m_header;
  std::string m_sHeld;  // what came behind the header, for the server once it is connected
  bool m_bReadingHeader = true;
  bool m_bHolding = false;
};

SessionFactory PnaSessionFactory();

}  // namespace harbix
