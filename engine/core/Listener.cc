#include "engine/core/Listener.h"

#include <cerrno>

namespace harbix {

Listener::Listener(Session& session) : m_session(session) { m_session.AddHandler(this); }

Listener::~Listener() { m_session.RemoveHandler(this); }

bool Listener::Open(uint32_t dwIp, Accepted accepted) {
  Socket socket = Socket::Tcp();
  if (!socket) {
    m_session.NoteEnd("socket", errno);
    return false;
  }
  // One connection is waited for: a backlog of one.
  if (!socket.Bind(dwIp, 0) || !socket.Select(m_session.Handle(), FD_ACCEPT) || !socket.Listen(1)) {
    m_session.NoteEnd("listen", errno);
    return false;
  }
  m_socket = std::move(socket);
  m_accepted = std::move(accepted);
  return true;
}

void Listener::OnSocketEvent(int /*hSocket*/, uint32_t dwEvent, uint32_t dwError) {
  if (dwEvent != FD_ACCEPT || !m_socket) return;
  SocketAddress peer;
  Socket accepted;
  if (dwError == 0) {
    accepted = m_socket.Accept(&peer);
    if (!accepted && WouldBlock(errno)) return;  // the caller gave up before it was taken
  } else {
    errno = static_cast<int>(dwError);
  }
  if (!accepted) m_session.NoteEnd("accept", errno);
  m_socket.Close();
  Accepted done = std::move(m_accepted);
  m_accepted = nullptr;
  if (done) done(std::move(accepted), peer);
}

}  // namespace harbix
