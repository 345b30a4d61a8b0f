// A listening socket of a session (a SOCKS BIND): it waits for one connection, hands it over,
// and closes, so that nobody else can come in behind the one that was waited for.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/core/Session.h"
#include "engine/core/SocketHandler.h"
#include "platform/Socket.h"

namespace harbix {

class Listener : public SocketHandler {
 public:
  // The accepted connection and its peer; an invalid socket when the accept failed (errno).
  using Accepted = std::function<void(Socket&& socket, const SocketAddress& peer)>;

  explicit Listener(Session& session);
  ~Listener() override;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on an address at a port the system chooses; false (errno, nothing open) on failure.
  bool Open(uint32_t dwIp, Accepted accepted);
  // Where it listens, as the system reports it.
  bool LocalAddress(SocketAddress* pAddress) const { return m_socket.LocalAddress(pAddress); }
  bool Listening() const { return m_socket.Valid(); }
  void Close() { m_socket.Close(); }

  bool OwnsSocket(int hSocket) const override { return hSocket >= 0 && hSocket == m_socket.Fd(); }
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  Session& m_session;
  Socket m_socket;
  Accepted m_accepted;
};

}  // namespace harbix
