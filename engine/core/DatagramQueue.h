// Datagrams waiting to be sent on one UDP socket. A send that would block keeps the datagram
// (instead of losing it) and the socket's FD_WRITE sends what waits; the queue is bounded in
// count and bytes, and a datagram that finds it full is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "platform/Socket.h"

namespace harbix {

class DatagramQueue {
 public:
  static constexpr size_t kMaxDatagrams = 512;
  static constexpr size_t kMaxBytes = 1024 * 1024;

  enum class Result { kSent, kQueued, kDropped, kFailed };

  // Sends at once when nothing waits, or queues behind what waits. kFailed: the socket refused
  // the datagram for another reason than a full buffer (errno tells).
  Result SendTo(Socket& socket, const SocketAddress& to, std::string_view sDatagram);
  // On FD_WRITE: sends what waits, in order, until the socket is full again. Returns the bytes
  // sent; a datagram the socket refuses for another reason is dropped.
  uint64_t Flush(Socket& socket);
  bool Empty() const { return m_queue.empty(); }
  size_t Size() const { return m_queue.size(); }
  void Clear();

 private:
  struct Waiting {
    SocketAddress m_to;
    std::string m_sData;
  };
  std::deque<Waiting> m_queue;
  size_t m_cbQueued = 0;
};

}  // namespace harbix
