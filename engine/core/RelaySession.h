// The relay pump shared by every session that copies a byte stream between a client and a
// server: one output queue per socket, reads that stop while the far side is backed up, and a
// final drain when either side closes.
#pragma once

#include <cstddef>
#include <string>

#include "engine/core/OutputQueue.h"
#include "engine/core/Session.h"
#include "platform/Pipe.h"

namespace harbix {

class RelaySession : public Session {
 public:
  // Reading from a socket stops while the queue towards the other side holds this much, and
  // resumes when it has drained to the low-water mark: memory stays bounded whatever the
  // speeds of the two peers.
  static constexpr size_t kHighWater = 256 * 1024;
  static constexpr size_t kLowWater = 64 * 1024;
  static constexpr size_t kReadChunk = 8192;
  // What a bulk transfer may hold in the kernel per direction. Large moves mean few system
  // calls; the bound keeps a slow peer from tying up more.
  static constexpr size_t kBulkPipe = 512 * 1024;
  static constexpr size_t kSmallChunk = 512;

  using Session::Session;

 protected:
  struct End {
    Socket m_socket;
    OutputQueue m_queue;      // bytes waiting to be sent on m_socket
    // Bulk bytes waiting to be sent on m_socket, held in the kernel: a relay that moves full
    // chunks switches to splicing them through a pipe, so they never pass through the process.
    // Only one of the two holds bytes at a time, which keeps them in order.
    Pipe m_pipe;
    size_t m_cbPiped = 0;
    bool m_bNoPipe = false;   // a pipe could not be made; stay with the queue
    bool m_bPaused = false;   // reading stopped: the other end's queue is full
    size_t Pending() const { return m_queue.Size() + m_cbPiped; }
  };

  // Queues bytes for `to` and tries to send them; false (and the session finishes) when the
  // queue cannot grow.
  bool Enqueue(End& to, const char* lpData, size_t cbData);
  // One send of what is queued for `end`. A send that would block waits for FD_WRITE.
  void SendStep(End& end);
  // Moves what `from` has waiting (at most cbChunk per read when copying) towards `to`, until
  // `from` is empty or `to` is backed up.
  void Pump(End& from, End& to, size_t cbChunk = kReadChunk);
  // FD_CLOSE of one end: what that end still has is delivered to the other end, then both are
  // closed and the session finishes. There is no half-closed relay. Runs without blocking.
  void BeginDrain(End& closing);
  // Takes the accepted client socket and asks for its read, write and close events; false (and
  // the session finishes) when that fails.
  bool AttachClient();
  // The steps of connecting onwards, and the first that failed.
  enum class ConnectStep { kDone, kSocket, kBind, kConnect };
  // Creates the server socket, binds it to any address and port, asks for its write and connect
  // events and starts a non-blocking connect; the FD_CONNECT that follows tells how it went.
  ConnectStep ConnectServer(uint32_t dwIp, uint16_t wPort);
  // The session is over, or only delivering what is left.
  bool Over() const { return Closing() || Draining(); }
  // The messages of every relay session: the idle timer, a finished lookup, the connect, the
  // client's request before relaying, and the relay itself.
  void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  // What the session kinds add.
  // Whether client bytes go through the relay yet (before, OnClientRequest reads them).
  virtual bool Relaying() const { return true; }
  virtual void OnClientRequest() {}
  virtual void OnResolved(intptr_t /*nAddress*/) {}
  // The connect finished (not called once the session is over). By default: relay, or end.
  virtual void OnConnect(int hSocket, uint32_t dwError);
  // The largest read from the client.
  virtual size_t ClientChunk() const { return kReadChunk; }
  // Socket events of an established relay (both sockets set).
  void RelayEvent(int hSocket, uint32_t dwEvent, uint32_t dwError);
  bool Draining() const { return m_lpDrainFrom != nullptr; }
  // Closes both sockets and finishes.
  void CloseBoth();
  // Answers a failure: the text goes to the client, the server side (if any) is dropped, and
  // the session ends once the text is out.
  void SendAndClose(const std::string& sText);

  End* EndOf(int hSocket);
  End& Other(const End& end) { return &end == &m_client ? m_server : m_client; }

  End m_client;
  End m_server;

 private:
  // The result of one move from one end towards the other.
  enum class Move { kMore, kEmpty, kEnd, kFailed };
  Move MoveChunk(End& from, End& to, size_t cbChunk);
  void DrainStep();

  End* m_lpDrainFrom = nullptr;
};

}  // namespace harbix
