// Port maps: whatever arrives on a map's address and port, TCP connections or UDP datagrams, is
// passed to one fixed destination, and the answers come back the same way.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/MapRecord.h"
#include "engine/core/Connections.h"
#include "engine/core/Connector.h"
#include "engine/core/DatagramQueue.h"
#include "engine/core/Relay.h"
#include "engine/core/ServiceThread.h"

namespace harbix {

// One TCP connection of a map, relayed to the destination.
class MapTcpSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;

  MapTcpSession(SessionContext&& context, SocketAddress destination);

 protected:
  void OnCreate() override;

 private:
  void OnConnected(Connector::Result result, Socket&& server);

  SocketAddress m_destination;
  Relay m_relay{*this};
  Connector m_connector{*this};
};

// Sessions of MapTcpSession to a fixed destination.
SessionFactory MapTcpSessionFactory(SocketAddress destination);

class MapThread : public ServiceThread {
 public:
  // A UDP client that sends nothing for this long loses its forwarding socket.
  static constexpr uint64_t kPeerLifetimeMs = 30000;

  MapThread(ThreadId engine, MapRecord record, uint16_t wMaxDatagram);
  ~MapThread() override;

  const MapRecord& Record() const { return m_record; }

 protected:
  std::shared_ptr<const ServiceConfig> ReadSettings() override;
  uint8_t OpenSockets() override;
  void CloseSockets() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;
  void OnReload() override {}  // maps change only when the engine reloads all of them
  void OnTick() override;

 private:
  // One UDP client: the socket its datagrams are forwarded from, so replies can be told apart.
  // It holds a place under the connection limit while it lives.
  struct Peer {
    Socket m_socket;
    DatagramQueue m_queue;  // towards the destination
    SocketAddress m_client;
    uint64_t m_qwLastUse = 0;
    AdmissionTicket m_ticket;
  };

  uint8_t OpenMapSockets();
  void OnClientDatagrams();
  // The peer of a client, made when it is new; null when none can be had.
  Peer* PeerFor(const SocketAddress& client);
  void OnPeerDatagrams(size_t nPeer);
  void DropPeer(size_t nPeer);
  // Counts what a send did; false when the datagram was lost.
  bool Sent(DatagramQueue::Result result, size_t cbDatagram);

  MapRecord m_record;
  SocketAddress m_destination;
  Socket m_udp;
  DatagramQueue m_udpQueue;  // answers towards the clients
  std::vector<Peer> m_vPeers;
  std::vector<char> m_vDatagram;
};

}  // namespace harbix
