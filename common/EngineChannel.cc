#include "common/EngineChannel.h"

#include <poll.h>

#include <cerrno>

namespace harbix {

using namespace control;

bool EngineChannel::Open() {
  m_socket = Socket::Udp();
  return m_socket && m_socket.Bind(kLoopback, 0);
}

bool EngineChannel::Request(uint8_t bType, std::string_view sExtra) {
  if (Pending()) return false;
  std::string sPayload;
  if (NeedsCookie(bType) || (bType == kReloadMaps && m_nCookie >= 0)) {
    if (m_nCookie < 0) return false;
    PutU32(sPayload, static_cast<uint32_t>(m_nCookie));
  }
  sPayload += sExtra;
  m_sPending = EncodeDatagram(ControlMessage{bType, sPayload});
  Flush();
  return true;
}

bool EngineChannel::Flush() {
  if (!Pending()) return true;
  const long nSent = m_socket.SendTo(m_sPending.data(), m_sPending.size(), SocketAddress{kLoopback, kEnginePort});
  if (nSent < 0 && WouldBlock(errno)) return false;
  m_sPending.clear();  // sent, or lost: a datagram is not retried
  return true;
}

std::optional<ControlMessage> EngineChannel::Receive() {
  std::string sBuffer(kMaxDatagram, '\0');
  SocketAddress from;
  const long nRead = m_socket.RecvFrom(sBuffer.data(), sBuffer.size(), &from);
  if (nRead < 0 || from.m_dwIp != kLoopback || from.m_wPort != kEnginePort) return std::nullopt;
  sBuffer.resize(static_cast<size_t>(nRead));
  std::optional<ControlMessage> message = DecodeDatagram(sBuffer);
  if (message && message->m_bType == kHello && message->m_sPayload.size() >= 4) {
    m_nCookie = GetU32(message->m_sPayload, 0);
    if (message->m_sPayload.size() >= 8) m_nStartTime = static_cast<int32_t>(GetU32(message->m_sPayload, 4));
  }
  return message;
}

bool EngineChannel::WaitFor(std::chrono::steady_clock::time_point deadline, bool bWritable) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd pfd{m_socket.Fd(), static_cast<short>(POLLIN | (bWritable ? POLLOUT : 0)), 0};
  return ::poll(&pfd, 1, static_cast<int>(left.count())) > 0;
}

std::optional<ControlMessage> EngineChannel::Call(uint8_t bType, std::string_view sExtra, std::optional<uint8_t> bReply,
                                           std::chrono::milliseconds timeout) {
  if (!Request(bType, sExtra)) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (WaitFor(deadline, Pending())) {
    Flush();
    while (std::optional<ControlMessage> message = Receive()) {
      if (!bReply || message->m_bType == *bReply) return message;
    }
  }
  return std::nullopt;
}

bool EngineChannel::Hello(std::chrono::milliseconds timeout) {
  std::optional<ControlMessage> reply = Call(kHello, {}, kHello, timeout);
  return reply && reply->m_sPayload.size() >= 4;
}

}  // namespace harbix
