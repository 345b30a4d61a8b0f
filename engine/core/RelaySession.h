// The relay pump shared by every session that copies a byte stream between a client and a
// server: one output queue per socket, reads that stop while the far side is backed up, and a
// final drain when either side closes.
#pragma once

#include <cstddef>
#include <string>

#include "engine/core/OutputQueue.h"
#include "engine/core/Session.h"

namespace harbix {

class RelaySession : public Session {
 public:
  // Reading from a socket stops while the queue towards the other side holds this much, and
  // resumes when it has drained to the low-water mark: memory stays bounded whatever the
  // speeds of the two peers.
  static constexpr size_t kHighWater = 256 * 1024;
  static constexpr size_t kLowWater = 64 * 1024;
  static constexpr size_t kReadChunk = 8192;

  using Session::Session;

 protected:
  struct End {
    Socket m_socket;
    OutputQueue m_queue;      // bytes waiting to be sent on m_socket
    bool m_bPaused = false;   // reading stopped: the other end's queue is full
  };

  // Queues bytes for `to` and tries to send them; false (and the session finishes) when the
  // queue cannot grow.
  bool Enqueue(End& to, const char* lpData, size_t cbData);
  // One send of what is queued for `end`. A send that would block waits for FD_WRITE.
  void SendStep(End& end);
  // Reads what `from` has waiting (at most cbChunk per read) into `to`'s queue, until `from` is
  // empty or `to` is backed up.
  void Pump(End& from, End& to, size_t cbChunk = kReadChunk);
  // FD_CLOSE of one end: what that end still has is delivered to the other end, then both are
  // closed and the session finishes. There is no half-closed relay. Runs without blocking.
  void BeginDrain(End& closing);
  // Socket events of an established relay (both sockets set).
  void RelayEvent(int hSocket, uint32_t dwEvent, uint32_t dwError, size_t cbClientChunk = kReadChunk);
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
  void DrainStep();

  End* m_lpDrainFrom = nullptr;
};

}  // namespace harbix
