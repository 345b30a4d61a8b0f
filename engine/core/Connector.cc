#include "engine/core/Connector.h"

#include <cerrno>

#include "common/Text.h"
#include "engine/core/HostResolver.h"

namespace harbix {

Connector::Connector(Session& session) : m_session(session) { m_session.AddHandler(this); }

Connector::~Connector() {
  if (m_lpGeneration) ++*m_lpGeneration;
  m_session.RemoveHandler(this);
}

void Connector::Start(const std::string& sHost, uint16_t wPort, Done done, uint32_t dwBindIp) {
  if (std::optional<uint32_t> dwIp = ParseDottedAddress(sHost)) {
    StartAt(*dwIp, wPort, std::move(done), dwBindIp);
    return;
  }
  Cancel();
  m_done = std::move(done);
  m_wPort = wPort;
  m_dwBindIp = dwBindIp;
  if (!m_lpGeneration) m_lpGeneration = std::make_shared<uint64_t>(0);
  std::weak_ptr<uint64_t> lpGeneration = m_lpGeneration;
  const uint64_t qwGeneration = *m_lpGeneration;
  HostResolver::Resolve(sHost, m_session.Handle(), [this, lpGeneration, qwGeneration](const std::optional<HostEntry>& host) {
    const std::shared_ptr<uint64_t> lpNow = lpGeneration.lock();
    if (!lpNow || *lpNow != qwGeneration) return;  // cancelled, or the connector is gone
    if (!host || host->m_vAddresses.empty()) {
      Complete(Result::kUnresolved);
      return;
    }
    m_dwIp = host->m_vAddresses.front();
    Connect();
  });
}

void Connector::StartAt(uint32_t dwIp, uint16_t wPort, Done done, uint32_t dwBindIp) {
  Cancel();
  m_done = std::move(done);
  m_dwIp = dwIp;
  m_wPort = wPort;
  m_dwBindIp = dwBindIp;
  Connect();
}

void Connector::Cancel() {
  if (m_lpGeneration) ++*m_lpGeneration;
  m_done = nullptr;
  m_socket.Close();
}

void Connector::Connect() {
  if (m_bCheckOutgoing && !m_session.DestinationAllowed(m_dwIp)) {
    Complete(Result::kNotAllowed);
    return;
  }
  Socket socket = Socket::Tcp();
  if (!socket) {
    Fail("socket", Result::kNoSocket);
    return;
  }
  // Any address, any port is what the connect picks anyway: two calls saved per connection.
  if (m_dwBindIp != 0 && !socket.Bind(m_dwBindIp, 0)) {
    Fail("bind", Result::kNoBind);
    return;
  }
  if (!socket.Select(m_session.Handle(), FD_WRITE | FD_CONNECT)) {
    Fail("select", Result::kRefused);
    return;
  }
  if (socket.Connect(m_dwIp, m_wPort) != 0) {
    Fail("connect", Result::kRefused);
    return;
  }
  m_socket = std::move(socket);
}

void Connector::OnSocketEvent(int /*hSocket*/, uint32_t dwEvent, uint32_t dwError) {
  if (dwEvent != FD_CONNECT) return;  // the FD_WRITE that follows is the relay's
  if (dwError != 0) {
    errno = static_cast<int>(dwError);
    Fail("connect", Result::kFailed);
    return;
  }
  Complete(Result::kConnected);
}

void Connector::Fail(const char* lpCall, Result result) {
  m_nError = errno;
  m_session.NoteEnd(lpCall, m_nError);
  m_socket.Close();
  Complete(result);
}

void Connector::Complete(Result result) {
  Done done = std::move(m_done);
  m_done = nullptr;
  if (m_lpGeneration) ++*m_lpGeneration;
  if (done) done(result, std::move(m_socket));
}

}  // namespace harbix
