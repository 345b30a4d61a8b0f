// An IPv4 socket that owns its descriptor: closing (or destroying) it first stops its events,
// then closes. Every socket is non-blocking; its operations tell the thread's message loop what
// they found, which is what re-enables the read, accept and write events. Failures return -1 (or
// false, or an invalid Socket) with the reason in errno.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Messages.h"

namespace harbix {

class Pipe;

// What a socket is known to be, so that selecting it needs no system call to find out.
enum class SocketKind : uint8_t { kUnknown, kStreamUnconnected, kStreamConnected, kDatagram };

// What a socket that is being closed waits for before the descriptor goes.
enum class LingerUntil : uint8_t {
  // The peer's own close. A peer that is still sending when the reset of an early close
  // arrives may throw away what it had not read yet: a browser still sending its request
  // loses the page it was answered with.
  kPeerEnd,
  // Only until the peer has acknowledged everything sent and nothing unread waits here: the
  // close then sends no reset and loses nothing. For a peer whose further bytes have no reader
  // anyway; it spares the thread a wake-up for the peer's close.
  kAcknowledged,
};

// The error of a non-blocking call that would have had to wait.
inline bool WouldBlock(int nError) { return nError == EAGAIN || nError == EWOULDBLOCK; }

struct SocketAddress {
  uint32_t m_dwIp = 0;    // network order
  uint16_t m_wPort = 0;   // host order
};

class Socket {
 public:
  Socket() = default;
  explicit Socket(int hSocket, SocketKind kind = SocketKind::kUnknown) : m_hSocket(hSocket), m_kind(kind) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : m_kind(other.m_kind) { m_hSocket = other.Release(); }
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  static Socket Tcp();
  static Socket Udp();

  int Fd() const { return m_hSocket; }
  bool Valid() const { return m_hSocket >= 0; }
  explicit operator bool() const { return Valid(); }

  // Events (FD_*) to be posted to hwnd as `message` by the calling thread's loop; 0 stops them.
  bool Select(Hwnd hwnd, uint32_t dwEvents, uint32_t message = WM_SOCKET_EVENT);

  // bReuse lets a listener rebind a port whose old connections linger (it still fails while
  // another socket listens there).
  bool Bind(uint32_t dwIp, uint16_t wPort, bool bReuse = false);
  bool Listen(int nBacklog);
  Socket Accept(SocketAddress* pPeer);
  // 0 when the connect is under way or done (FD_CONNECT follows either way); -1 on failure.
  int Connect(uint32_t dwIp, uint16_t wPort);

  long Recv(void* lpBuffer, size_t cbBuffer);
  // Looks at waiting bytes without taking them. Finding the end of the stream counts as a
  // read (the close event follows).
  long Peek(void* lpBuffer, size_t cbBuffer);
  long Send(const void* lpData, size_t cbData);
  // One datagram. A datagram larger than the buffer is cut to it; *pbTruncated tells.
  long RecvFrom(void* lpBuffer, size_t cbBuffer, SocketAddress* pFrom, bool* pbTruncated = nullptr);
  long SendTo(const void* lpData, size_t cbData, const SocketAddress& to);
  // Moves up to cbMax waiting bytes into a pipe, or up to cbMax bytes from a pipe out to the
  // socket, without copying them through the process. As Recv and Send: the count, 0 at the
  // end of the stream, -1 with errno (EAGAIN: nothing to move now).
  long SpliceIn(Pipe& pipe, size_t cbMax);
  long SpliceOut(Pipe& pipe, size_t cbMax);
  // Sends up to cbMax bytes of a file from *pnOffset on (advanced by what went), without
  // copying them through the process; as Send otherwise.
  long SendFile(int hFile, int64_t* pnOffset, size_t cbMax);
  // Bytes waiting to be read (for a datagram socket: the size of the next datagram); -1 on error.
  int Available();

  bool SetBlocking(bool bBlocking);
  bool LocalAddress(SocketAddress* pAddress) const;
  // Both directions; the descriptor stays open.
  void Shutdown();
  // Sends the end of the stream after what is queued in the kernel; reading goes on.
  void ShutdownWrite();
  // Whether the peer has sent the end of its stream (or the connection broke), even while
  // bytes before it are still waiting to be read.
  bool PeerHungUp() const;
  // Stops events and closes; an invalid socket is left as it is.
  void Close();
  // Sends the end of the stream and hands the socket to the thread's loop, which reads and
  // drops what the peer still sends for at most dwMs and then closes it (MessageLoop::Linger).
  void CloseGracefully(uint32_t dwMs, LingerUntil until = LingerUntil::kPeerEnd);
  // Gives up ownership without closing.
  int Release();

 private:
  int m_hSocket = -1;
  SocketKind m_kind = SocketKind::kUnknown;
};

}  // namespace harbix
