#include "engine/core/DatagramQueue.h"

namespace harbix {

DatagramQueue::Result DatagramQueue::SendTo(Socket& socket, const SocketAddress& to, std::string_view sDatagram) {
  if (m_queue.empty()) {
    if (socket.SendTo(sDatagram.data(), sDatagram.size(), to) >= 0) return Result::kSent;
    if (!WouldBlock(errno)) return Result::kFailed;
  }
  if (m_queue.size() >= kMaxDatagrams || m_cbQueued + sDatagram.size() > kMaxBytes) return Result::kDropped;
  m_queue.push_back(Waiting{to, std::string(sDatagram)});
  m_cbQueued += sDatagram.size();
  return Result::kQueued;
}

uint64_t DatagramQueue::Flush(Socket& socket) {
  uint64_t cbSent = 0;
  while (!m_queue.empty()) {
    const Waiting& front = m_queue.front();
    const long nSent = socket.SendTo(front.m_sData.data(), front.m_sData.size(), front.m_to);
    if (nSent < 0 && WouldBlock(errno)) break;
    if (nSent >= 0) cbSent += static_cast<uint64_t>(nSent);
    m_cbQueued -= front.m_sData.size();
    m_queue.pop_front();
  }
  return cbSent;
}

void DatagramQueue::Clear() {
  m_queue.clear();
  m_cbQueued = 0;
}

}  // namespace harbix
