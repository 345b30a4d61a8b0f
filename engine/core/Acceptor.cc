#include "engine/core/Acceptor.h"

#include <cerrno>

namespace harbix {

Acceptor::Acceptor(Session& session) : m_session(session) { m_session.AddHandler(this); }

Acceptor::~Acceptor() { m_session.RemoveHandler(this); }

bool Acceptor::Listen(uint32_t dwBindIp, uint32_t dwExpectedIp, Done done) {
  Close();
  m_socket = Socket::Tcp();
  if (!m_socket) return Fail("socket");
  if (!m_socket.Bind(dwBindIp, 0)) return Fail("bind");
  // One connection is awaited: a backlog of one is enough.
  if (!m_socket.Listen(1)) return Fail("listen");
  // A stream socket bound to port 0 gets its port when it listens.
  if (!m_socket.LocalAddress(&m_address)) return Fail("getsockname");
  if (!m_socket.Select(m_session.Handle(), FD_ACCEPT)) return Fail("select");
  m_dwExpectedIp = dwExpectedIp;
  m_done = std::move(done);
  return true;
}

void Acceptor::Close() {
  m_socket.Close();
  m_done = nullptr;
  m_address = SocketAddress{};
}

bool Acceptor::Fail(const char* lpCall) {
  m_session.NoteEnd(lpCall, errno);
  Close();
  return false;
}

void Acceptor::OnSocketEvent(int /*hSocket*/, uint32_t dwEvent, uint32_t /*dwError*/) {
  if (dwEvent != FD_ACCEPT) return;
  while (m_socket) {
    SocketAddress peer;
    Socket accepted = m_socket.Accept(&peer);
    if (!accepted) return;  // nothing more waits (or the caller left before it was taken)
    if (m_dwExpectedIp != kAnyPeer && peer.m_dwIp != m_dwExpectedIp) {
      ++m_nRefused;
      continue;  // closed as it goes out of scope; the listener waits on
    }
    Done done = std::move(m_done);
    Close();
    // The callback may listen again at once: nothing of this one is touched after it.
    if (done) done(std::move(accepted), peer);
    return;
  }
}

}  // namespace harbix
