// A SOCKS 4 or 5 session: negotiates with the client (version, method, user name and
// password), then serves its request: CONNECT relays to the destination, BIND waits for one
// connection from outside and relays to it, UDP ASSOCIATE carries the client's datagrams to
// their destinations and the answers back, with the SOCKS header before each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/core/Acceptor.h"
#include "engine/core/Connector.h"
#include "engine/core/DatagramPort.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"
#include "engine/proxies/SocksDatagram.h"
#include "engine/proxies/SocksNegotiation.h"

namespace harbix {

class SocksSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;
  // The negotiation is read in pieces of this size: its messages are short, and what the
  // client sends ahead of the reply is never more than one piece.
  static constexpr size_t kRequestPiece = 512;
  // Client datagrams that name their destination wait for its lookup; beyond this many at
  // once they are dropped, as datagrams may be.
  static constexpr size_t kMaxDatagramLookups = 16;

  explicit SocksSession(SessionContext&& context);

 protected:
  void OnCreate() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  void ReadNegotiation();
  void OnRequest();
  void OnConnected(Connector::Result result, Socket&& server);
  // A name in a BIND or UDP request is looked up only to answer error 4 when it has no
  // address: the peer that comes, or the destinations of the datagrams, are what count.
  void ResolveThen(void (SocksSession::*lpNext)());
  // What the client sent behind its request goes to the server once it is there.
  void SendAhead();
  void StartBind();
  void OnAccepted(Socket&& accepted, const SocketAddress& peer);
  void StartUdp();
  // The TCP connection of a UDP association carries nothing more: what comes is dropped.
  void DropClientBytes();
  void OnDatagram(const SocketAddress& from, std::string_view sDatagram);
  void SendToDestination(uint32_t dwIp, uint16_t wPort, std::string_view sPayload, uint16_t wClientPort);
  // The error reply, after which the session ends.
  void SendError(socks::Error error);
  // An address, or the engine's address on the client connection in its place when it is zero
  // (0 when that is not an IPv4 connection).
  uint32_t OwnAddress(uint32_t dwAddress);

  Relay m_relay{*this, Relay::Policy::kHalf};
  Connector m_connector{*this};
  Acceptor m_listener{*this};
  DatagramPort m_udp{*this};
  SocksNegotiation m_negotiation;
  SocksNegotiation::Request m_request;
  std::string m_sAhead;          // what the client sent behind its request
  bool m_bNegotiating = true;
  bool m_bUdp = false;
  uint16_t m_wClientUdpPort = 0;  // where the client's datagrams come from, as last seen
  size_t m_nLookups = 0;
};

SessionFactory SocksSessionFactory();

}  // namespace harbix
