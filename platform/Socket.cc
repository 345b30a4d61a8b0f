#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/MessageLoop.h"
#include "platform/Pipe.h"

namespace harbix {
namespace {

sockaddr_in ToSockaddr(uint32_t dwIp, uint16_t wPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = dwIp;
  address.sin_port = htons(wPort);
  return address;
}

SocketAddress FromSockaddr(const sockaddr_in& address) {
  return SocketAddress{address.sin_addr.s_addr, ntohs(address.sin_port)};
}

Socket Make(int nType) {
  return Socket(::socket(AF_INET, nType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0),
                nType == SOCK_STREAM ? SocketKind::kStreamUnconnected : SocketKind::kDatagram);
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    m_kind = other.m_kind;
    m_hSocket = other.Release();
  }
  return *this;
}

Socket Socket::Tcp() { return Make(SOCK_STREAM); }
Socket Socket::Udp() { return Make(SOCK_DGRAM); }

bool Socket::Select(Hwnd hwnd, uint32_t dwEvents, uint32_t message) {
  MessageLoop* lpLoop = MessageLoop::Current();
  if (!lpLoop) {
    errno = EINVAL;
    return false;
  }
  return lpLoop->AsyncSelect(m_hSocket, hwnd, message, dwEvents, m_kind);
}

bool Socket::Bind(uint32_t dwIp, uint16_t wPort, bool bReuse) {
  const int nOn = 1;
  if (bReuse) ::setsockopt(m_hSocket, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
  int nType = m_kind == SocketKind::kDatagram ? SOCK_DGRAM : SOCK_STREAM;
  socklen_t cbType = sizeof nType;
  if (m_kind == SocketKind::kUnknown) ::getsockopt(m_hSocket, SOL_SOCKET, SO_TYPE, &nType, &cbType);
  if (wPort == 0 && nType == SOCK_STREAM) {
    // A stream socket bound to "any port" before it connects gets its port at the connect,
    // where the kernel can share ports among different destinations. Picked at bind time, each
    // would need a port of its own, and a busy proxy would run out of them.
    ::setsockopt(m_hSocket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &nOn, sizeof nOn);
  }
  const sockaddr_in address = ToSockaddr(dwIp, wPort);
  return ::bind(m_hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool Socket::Listen(int nBacklog) { return ::listen(m_hSocket, nBacklog) == 0; }

Socket Socket::Accept(SocketAddress* pPeer) {
  sockaddr_in peer{};
  socklen_t cbPeer = sizeof peer;
  const int hAccepted = ::accept4(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &cbPeer, SOCK_NONBLOCK | SOCK_CLOEXEC);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteAccept(m_hSocket, hAccepted >= 0 || !WouldBlock(nError));
  errno = nError;
  if (hAccepted >= 0 && pPeer) *pPeer = FromSockaddr(peer);
  return Socket(hAccepted, SocketKind::kStreamConnected);
}

int Socket::Connect(uint32_t dwIp, uint16_t wPort) {
  const sockaddr_in address = ToSockaddr(dwIp, wPort);
  const int nResult = ::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int nError = errno;
  if (nResult != 0 && nError != EINPROGRESS) return -1;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteConnect(m_hSocket, nResult == 0);
  return 0;
}

long Socket::Recv(void* lpBuffer, size_t cbBuffer) {
  const long nResult = ::recv(m_hSocket, lpBuffer, cbBuffer, 0);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteRecv(m_hSocket, nResult, cbBuffer, nError, true);
  errno = nError;
  return nResult;
}

long Socket::Peek(void* lpBuffer, size_t cbBuffer) {
  // Not a read as far as events go: the bytes stay, and the Recv that takes them re-enables.
  // Finding nothing, though, says the socket is empty, as a receive would.
  const long nResult = ::recv(m_hSocket, lpBuffer, cbBuffer, MSG_PEEK);
  const int nError = errno;
  if (nResult <= 0) {
    if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteRecv(m_hSocket, nResult, cbBuffer, nError, true);
  }
  errno = nError;
  return nResult;
}

long Socket::Send(const void* lpData, size_t cbData) {
  const long nResult = ::send(m_hSocket, lpData, cbData, MSG_NOSIGNAL);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteSend(m_hSocket, nResult, cbData, nError);
  errno = nError;
  return nResult;
}

long Socket::SpliceIn(Pipe& pipe, size_t cbMax) {
  const long nResult = ::splice(m_hSocket, nullptr, pipe.WriteEnd(), nullptr, cbMax, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteRecv(m_hSocket, nResult, cbMax, nError, true);
  errno = nError;
  return nResult;
}

long Socket::SpliceOut(Pipe& pipe, size_t cbMax) {
  const long nResult = ::splice(pipe.ReadEnd(), nullptr, m_hSocket, nullptr, cbMax, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteSend(m_hSocket, nResult, cbMax, nError);
  errno = nError;
  return nResult;
}

long Socket::SendFile(int hFile, int64_t* pnOffset, size_t cbMax) {
  off_t nOffset = static_cast<off_t>(*pnOffset);
  const long nResult = ::sendfile(m_hSocket, hFile, &nOffset, cbMax);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteSend(m_hSocket, nResult, cbMax, nError);
  *pnOffset = static_cast<int64_t>(nOffset);
  errno = nError;
  return nResult;
}

long Socket::RecvFrom(void* lpBuffer, size_t cbBuffer, SocketAddress* pFrom, bool* pbTruncated) {
  sockaddr_in from{};
  socklen_t cbFrom = sizeof from;
  // MSG_TRUNC: the datagram's whole length comes back even when only part of it fit.
  long nResult = ::recvfrom(m_hSocket, lpBuffer, cbBuffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &cbFrom);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteRecv(m_hSocket, nResult, cbBuffer, nError, false);
  if (pbTruncated) *pbTruncated = nResult > static_cast<long>(cbBuffer);
  if (nResult > static_cast<long>(cbBuffer)) nResult = static_cast<long>(cbBuffer);
  errno = nError;
  if (nResult >= 0 && pFrom) *pFrom = FromSockaddr(from);
  return nResult;
}

long Socket::SendTo(const void* lpData, size_t cbData, const SocketAddress& to) {
  const sockaddr_in address = ToSockaddr(to.m_dwIp, to.m_wPort);
  const long nResult = ::sendto(m_hSocket, lpData, cbData, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                                sizeof address);
  const int nError = errno;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteSend(m_hSocket, nResult, cbData, nError);
  errno = nError;
  return nResult;
}

int Socket::Available() {
  int nAvailable = 0;
  if (::ioctl(m_hSocket, FIONREAD, &nAvailable) != 0) return -1;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->NoteAvailable(m_hSocket, nAvailable);
  return nAvailable;
}

bool Socket::SetBlocking(bool bBlocking) {
  const int nFlags = ::fcntl(m_hSocket, F_GETFL);
  if (nFlags < 0) return false;
  return ::fcntl(m_hSocket, F_SETFL, bBlocking ? (nFlags & ~O_NONBLOCK) : (nFlags | O_NONBLOCK)) == 0;
}

bool Socket::LocalAddress(SocketAddress* pAddress) const {
  sockaddr_in address{};
  socklen_t cbAddress = sizeof address;
  if (::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &cbAddress) != 0) return false;
  *pAddress = FromSockaddr(address);
  return true;
}

void Socket::Shutdown() {
  if (m_hSocket >= 0) ::shutdown(m_hSocket, SHUT_RDWR);
}

void Socket::ShutdownWrite() {
  if (m_hSocket >= 0) ::shutdown(m_hSocket, SHUT_WR);
}

bool Socket::PeerHungUp() const {
  if (m_hSocket < 0) return true;
  if (MessageLoop* lpLoop = MessageLoop::Current()) {
    if (std::optional<bool> bHungUp = lpLoop->PeerHungUp(m_hSocket)) return *bHungUp;
  }
  pollfd entry{m_hSocket, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void Socket::Close() {
  if (m_hSocket < 0) return;
  if (MessageLoop* lpLoop = MessageLoop::Current()) lpLoop->ForgetSocket(m_hSocket);
  ::close(m_hSocket);
  m_hSocket = -1;
}

void Socket::CloseGracefully(uint32_t dwMs, LingerUntil until) {
  if (m_hSocket < 0) return;
  ::shutdown(m_hSocket, SHUT_WR);
  MessageLoop* lpLoop = MessageLoop::Current();
  if (!lpLoop) {
    Close();
    return;
  }
  lpLoop->Linger(Release(), dwMs, until);
}

int Socket::Release() {
  const int hSocket = m_hSocket;
  m_hSocket = -1;
  return hSocket;
}

}  // namespace harbix
