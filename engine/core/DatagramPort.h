// A UDP socket of a session (a SOCKS UDP association): every datagram that arrives is handed to
// the session with its source, and what the session sends goes out in order through a bounded
// DatagramQueue, so that a full socket buffer delays datagrams instead of losing them. What
// moves is counted as the session's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "engine/core/DatagramQueue.h"
#include "engine/core/Session.h"
#include "engine/core/SocketHandler.h"
#include "platform/Socket.h"

namespace harbix {

class DatagramPort : public SocketHandler {
 public:
  using Received = std::function<void(const SocketAddress& from, std::string_view sDatagram)>;
  // Datagrams handled per read event, so that one busy peer cannot hold the thread.
  static constexpr int kDatagramsPerEvent = 64;

  explicit DatagramPort(Session& session);
  ~DatagramPort() override;
  DatagramPort(const DatagramPort&) = delete;
  DatagramPort& operator=(const DatagramPort&) = delete;

  // Binds to an address at a port the system chooses; datagrams of up to cbMaxDatagram are
  // received whole (a larger one is dropped: it cannot have come through the network). False
  // (errno) on failure.
  bool Open(uint32_t dwIp, size_t cbMaxDatagram, Received received);
  bool LocalAddress(SocketAddress* pAddress) const { return m_socket.LocalAddress(pAddress); }
  bool Valid() const { return m_socket.Valid(); }
  // False when the datagram was lost (the queue is full, or the socket refused it).
  bool SendTo(const SocketAddress& to, std::string_view sDatagram);
  size_t Queued() const { return m_queue.Size(); }
  // Nothing more comes or goes (a channel the peer did not take up): the socket is closed and
  // what waits to be sent is dropped.
  void Close();

  bool OwnsSocket(int hSocket) const override { return hSocket >= 0 && hSocket == m_socket.Fd(); }
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  void Receive();

  Session& m_session;
  Socket m_socket;
  DatagramQueue m_queue;
  std::vector<char> m_vBuffer;
  Received m_received;
};

}  // namespace harbix
