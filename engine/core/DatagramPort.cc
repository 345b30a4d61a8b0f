#include "engine/core/DatagramPort.h"

#include <cerrno>

namespace harbix {

DatagramPort::DatagramPort(Session& session) : m_session(session) { m_session.AddHandler(this); }

DatagramPort::~DatagramPort() { m_session.RemoveHandler(this); }

bool DatagramPort::Open(uint32_t dwIp, size_t cbMaxDatagram, Received received) {
  Socket socket = Socket::Udp();
  if (!socket || !socket.Bind(dwIp, 0) || !socket.Select(m_session.Handle(), FD_READ | FD_WRITE)) {
    m_session.NoteEnd("udp socket", errno);
    return false;
  }
  // One byte more than the largest datagram tells a cut one apart.
  m_vBuffer.resize(cbMaxDatagram + 1);
  m_socket = std::move(socket);
  m_received = std::move(received);
  return true;
}

bool DatagramPort::SendTo(const SocketAddress& to, std::string_view sDatagram) {
  if (!m_socket) return false;
  switch (m_queue.SendTo(m_socket, to, sDatagram)) {
    case DatagramQueue::Result::kSent: m_session.CountSent(sDatagram.size()); return true;
    case DatagramQueue::Result::kQueued: return true;  // counted when it goes
    case DatagramQueue::Result::kDropped:
    case DatagramQueue::Result::kFailed: return false;
  }
  return false;
}

void DatagramPort::Close() {
  m_queue.Clear();
  m_socket.Close();
}

void DatagramPort::OnSocketEvent(int /*hSocket*/, uint32_t dwEvent, uint32_t /*dwError*/) {
  if (dwEvent == FD_WRITE) {
    m_session.CountSent(m_queue.Flush(m_socket));
  } else if (dwEvent == FD_READ) {
    Receive();
  }
}

void DatagramPort::Receive() {
  for (int nRound = 0; nRound < kDatagramsPerEvent && m_socket; ++nRound) {
    SocketAddress from;
    bool bTruncated = false;
    const long nRead = m_socket.RecvFrom(m_vBuffer.data(), m_vBuffer.size(), &from, &bTruncated);
    // An error queued by an earlier send (a port that refused it) is reported here and says
    // nothing about the datagrams behind it.
    if (nRead < 0) {
      if (WouldBlock(errno)) return;
      continue;
    }
    m_session.CountReceived(static_cast<uint64_t>(nRead));
    if (bTruncated || static_cast<size_t>(nRead) >= m_vBuffer.size()) continue;
    m_received(from, std::string_view(m_vBuffer.data(), static_cast<size_t>(nRead)));
  }
}

}  // namespace harbix
