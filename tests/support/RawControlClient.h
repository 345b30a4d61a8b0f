// A manager's end of the control channel spoken in raw datagrams: a UDP socket on 127.0.0.1
// that sends requests to the engine's port and reads its replies.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/ControlMessage.h"

namespace harbix::test {

class RawControlClient {
 public:
  // wPort 0: a port the system picks.
  explicit RawControlClient(uint16_t wPort = 0) {
    m_hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = control::kLoopback;
    address.sin_port = htons(wPort);
    m_bBound = ::bind(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawControlClient() { ::close(m_hSocket); }
  RawControlClient(const RawControlClient&) = delete;
  RawControlClient& operator=(const RawControlClient&) = delete;

  bool Bound() const { return m_bBound; }

  void SendRaw(const std::string& sWire) {
    sockaddr_in engine{};
    engine.sin_family = AF_INET;
    engine.sin_addr.s_addr = control::kLoopback;
    engine.sin_port = htons(control::kEnginePort);
    ::sendto(m_hSocket, sWire.data(), sWire.size(), 0, reinterpret_cast<sockaddr*>(&engine), sizeof engine);
  }
  void Send(uint8_t bType, const std::string& sPayload = {}) {
    SendRaw(control::EncodeDatagram(control::ControlMessage{bType, sPayload}));
  }
  void SendWithCookie(uint8_t bType, uint32_t dwCookie, const std::string& sExtra = {}) {
    std::string sPayload;
    control::PutU32(sPayload, dwCookie);
    Send(bType, sPayload + sExtra);
  }
  // The next reply, or nullopt when none comes within the time.
  std::optional<control::ControlMessage> Receive(int nTimeoutMs = 1000) {
    pollfd pfd{m_hSocket, POLLIN, 0};
    if (::poll(&pfd, 1, nTimeoutMs) <= 0) return std::nullopt;
    char buffer[control::kMaxDatagram];
    const ssize_t n = ::recv(m_hSocket, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    std::optional<control::ControlMessage> reply =
        control::DecodeDatagram(std::string_view(buffer, static_cast<size_t>(n)));
    EXPECT_TRUE(reply) << "the engine sent something that does not decode";
    return reply;
  }
  uint32_t Hello() {
    Send(control::kHello);
    std::optional<control::ControlMessage> reply = Receive();
    EXPECT_TRUE(reply && reply->m_bType == control::kHello && reply->m_sPayload.size() == 8);
    return reply ? control::GetU32(reply->m_sPayload, 0) : 0;
  }

 private:
  int m_hSocket = -1;
  bool m_bBound = false;
};

}  // namespace harbix::test
