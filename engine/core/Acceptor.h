// A listening socket that a session owns for one connection it expects (an FTP data connection,
// a SOCKS BIND): it listens on a chosen local address at a port the system picks, hands over
// the first connection from the expected address (or from anyone) and stops listening, so that
// nobody comes in behind it; a caller from any other address is turned away while it goes on
// waiting.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/core/Session.h"
#include "engine/core/SocketHandler.h"
#include "platform/Socket.h"

namespace harbix {

class Acceptor : public SocketHandler {
 public:
  using Done = std::function<void(Socket&& socket, const SocketAddress& peer)>;
  // No peer has the address 0.0.0.0: as the expected address it lets anyone in.
  static constexpr uint32_t kAnyPeer = 0;

  explicit Acceptor(Session& session);
  ~Acceptor() override;
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Replaces any listener there was. False (and nothing listens) when the socket cannot be
  // made, bound, read back, selected or set to listen; the failed call is the session's end
  // reason.
  bool Listen(uint32_t dwBindIp, uint32_t dwExpectedIp, Done done);
  void Close();
  bool Listening() const { return m_socket.Valid(); }
  // The local address it listens on (the port the system picked).
  const SocketAddress& Address() const { return m_address; }
  // Callers turned away so far.
  uint32_t Refused() const { return m_nRefused; }

  bool OwnsSocket(int hSocket) const override { return hSocket >= 0 && hSocket == m_socket.Fd(); }
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  bool Fail(const char* lpCall);

  Session& m_session;
  Socket m_socket;
  SocketAddress m_address;
  uint32_t m_dwExpectedIp = 0;
  uint32_t m_nRefused = 0;
  Done m_done;
};

}  // namespace harbix
