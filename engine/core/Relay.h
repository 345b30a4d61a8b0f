// The relay unit: two sides (the client and the server), a pump per direction that moves what
// one side sends to the other, and one way to end. A session owns its relays by value and can
// hold several. Reading from a side stops while the queue towards the other side is full, so
// memory stays bounded whatever the speeds of the peers; bulk transfers are spliced through a
// kernel pipe; a direction can be watched by a tap; files are sent straight from disk.
//
// Ending: when a side's stream ends, what it sent is delivered; what happens to the other
// direction is the relay's policy (kWhole or kHalf, below). When nothing is left to deliver,
// each side still open is sent the end of the stream and handed to the thread's loop, which
// reads and drops what it still sends for a short while before closing it (closing a socket
// with unread bytes makes Linux send a reset, which can destroy what was sent just before);
// the session then hears OnRelayEnded, and must not destroy the relay within that call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/core/ByteTap.h"
#include "engine/core/OutputQueue.h"
#include "engine/core/Session.h"
#include "engine/core/SocketHandler.h"
#include "platform/File.h"
#include "platform/Socket.h"

namespace harbix {

class Relay : public SocketHandler {
 public:
  enum Side : uint8_t { kClient = 0, kServer = 1 };
  enum class Policy : uint8_t {
    // The first side to end ends the relay: what it sent is delivered, what was on its way to
    // it is dropped. If the other side had ended already (its end was waiting behind bytes not
    // read yet), both directions are delivered: a close made first is handled first.
    kWhole,
    // A side's end is passed on: the other side gets everything and then the end of the
    // stream, and the other direction goes on until it ends too.
    kHalf,
  };

  // Reading from a side stops while the queue towards the other side holds this much, and
  // resumes when it has drained to the low-water mark.
  static constexpr size_t kHighWater = 256 * 1024;
  static constexpr size_t kLowWater = 64 * 1024;
  static constexpr size_t kReadChunk = 8192;
  // Reads while a tap watches are larger: the bytes pass through the process anyway.
  static constexpr size_t kTapChunk = 64 * 1024;
  // How long a side that was sent the end of the stream may go on sending before it is closed.
  static constexpr uint32_t kLingerMs = 2000;

  explicit Relay(Session& session, Policy policy = Policy::kWhole);
  ~Relay() override;
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Takes a connected socket for a side and asks for its read, write and close events; false
  // (the socket is closed and the side counts as ended) when that fails.
  bool Attach(Side side, Socket&& socket);
  // A socket for this side is on its way (a connect): what is queued for it waits, and the
  // relay does not end for want of it. Attach or Abandon follows.
  void Expect(Side side);
  // The expected socket will not come (the connect failed): what waits for it is dropped.
  void Abandon(Side side);
  bool Has(Side side) const { return m_aSides[side].m_socket.Valid(); }
  Socket& SocketOf(Side side) { return m_aSides[side].m_socket; }

  // The session reads this side itself for now (a request before relaying): the relay does not
  // read it, but notices its end. Release hands it to the pump, which reads at once when the
  // session's last read says bytes may be waiting, and at the next read event otherwise.
  void Hold(Side side);
  void Release(Side side, bool bMayHaveBytes);

  // The session's own bytes for a side (a greeting, a reply), after what is queued for it.
  // False when memory ran out (the relay then ends).
  bool Send(Side to, std::string_view sData);
  // A range of a file for a side, after what is queued; read only as fast as the side takes it.
  void SendFile(Side to, std::shared_ptr<const File> lpFile, int64_t nOffset, uint64_t cbLength);
  // Watches what is read from a side from now on; null stops watching.
  void SetTap(Side from, ByteTap* lpTap);
  // Bytes waiting to go to a side (in memory or in the kernel).
  size_t Pending(Side to) const { return m_aSides[to].m_queue.Pending(); }

  // Ends after what is queued for `keep` has been delivered (a composed reply): the other side
  // is closed now, nothing more of `keep`'s is relayed, and `keep` is closed as every side is.
  void EndAfterSending(Side keep);
  bool Ended() const { return m_bEnded; }

  bool OwnsSocket(int hSocket) const override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  struct SideState {
    Socket m_socket;
    OutputQueue m_queue;          // what waits to be sent to this side
    ByteTap* m_lpTap = nullptr;   // sees what is read from this side
    bool m_bExpected = false;     // a socket is on its way
    bool m_bWasThere = false;     // a socket was attached at some time
    bool m_bHeld = false;         // the session reads it
    bool m_bReadable = false;     // bytes (or the end) may wait to be read
    bool m_bPaused = false;       // reading waits for the other side's queue to drain
    bool m_bWriteBlocked = false; // its socket is full: sending waits for FD_WRITE
    bool m_bReadEnded = false;    // nothing more is read from it for the relay
    bool m_bSawEnd = false;       // its peer's end of stream was read
    bool m_bBroken = false;       // a read or send failed: nothing more goes to it either
    bool m_bDropIncoming = false; // what is on its way to it goes nowhere
    bool m_bWriteShut = false;    // it was sent the end of the stream
    bool m_bDiscarding = false;   // what it sends is read and dropped (a reply ends the relay)
  };
  // What one read found: more may wait; the socket is empty; its stream ended; the pipe
  // towards the other side is full (reading resumes when it drains); the side failed.
  enum class Move { kMore, kEmpty, kEnd, kWait, kFailed };

  // Everything that can be done now, in both directions, until nothing moves.
  void Run();
  void Step();
  void Flush(Side to);
  void Pump(Side from);
  // Reads and drops what a side sends (a reply is ending the relay).
  void Discard(Side from);
  Move MoveChunk(Side from);
  void OnReadEnded(Side from);
  void OnBroken(Side side, const char* lpCall, int nError);
  bool SourceEnded(Side side) const;
  bool Delivered(Side to) const;
  void CheckEnd();
  void BeginClosing();
  void CloseSide(Side side);
  void FinishIfClosed();
  static Side Other(Side side) { return side == kClient ? kServer : kClient; }

  Session& m_session;
  const Policy m_policy;
  std::array<SideState, 2> m_aSides;
  bool m_bRunning = false;   // Run is on the stack: a nested request only asks for another turn
  bool m_bRunAgain = false;
  bool m_bClosing = false;   // everything was delivered: the sides are being closed
  bool m_bEnded = false;
};

}  // namespace harbix
