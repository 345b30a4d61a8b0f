// The manager's side of the control channel: a UDP socket on 127.0.0.1, the cookie the engine
// hands out, one request at a time, and checks on what comes back. Non-blocking for a GUI that
// watches Fd(); Call and Hello wait, for command-line tools.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/ControlMessage.h"
#include "platform/Socket.h"

namespace harbix {

class EngineChannel {
 public:
  bool Open();
  void Close() { m_socket.Close(); }
  bool IsOpen() const { return m_socket.Valid(); }
  int Fd() const { return m_socket.Fd(); }

  // The cookie of the last hello reply, -1 before one (and after ForgetCookie).
  int64_t Cookie() const { return m_nCookie; }
  void ForgetCookie() { m_nCookie = -1; }
  // The engine's start time from the last hello reply, -1 when unknown.
  int32_t StartTime() const { return m_nStartTime; }

  // Builds a request (the cookie first where the type needs one) and tries to send it. False,
  // and nothing is queued, while another request still waits or a needed cookie is missing.
  bool Request(uint8_t bType, std::string_view sExtra = {});
  bool Pending() const { return !m_sPending.empty(); }
  // Sends the waiting request; false when it still has to wait for the socket.
  bool Flush();
  // One datagram, when it is a valid message from the engine; a hello reply also sets the
  // cookie and start time.
  std::optional<control::ControlMessage> Receive();

  // Sends a request and waits for a reply of type bReply (any reply when none is given).
  std::optional<control::ControlMessage> Call(uint8_t bType, std::string_view sExtra, std::optional<uint8_t> bReply,
                                       std::chrono::milliseconds timeout);
  // Says hello and waits for the cookie.
  bool Hello(std::chrono::milliseconds timeout);

 private:
  bool WaitFor(std::chrono::steady_clock::time_point deadline, bool bWritable);

  Socket m_socket;
  std::string m_sPending;  // encoded, waiting to be sent
  int64_t m_nCookie = -1;
  int32_t m_nStartTime = -1;
};

}  // namespace harbix
