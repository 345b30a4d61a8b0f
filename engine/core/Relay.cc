#include "engine/core/Relay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace harbix {
namespace {

// Small exchanges are read on the stack; the large buffer, the thread's own, is taken only
// once a read fills the small one. A session thread spends most of its life idle, and every
// page it has touched stays resident.
constexpr size_t kSmallChunk = 512;
// Reads of a side whose bytes are dropped, per event: a flood cannot hold the thread.
constexpr int kDiscardReadsPerEvent = 16;

char* LargeBuffer() {
  thread_local std::unique_ptr<char[]> t_lpBuffer;
  if (!t_lpBuffer) t_lpBuffer = std::make_unique_for_overwrite<char[]>(Relay::kTapChunk);
  return t_lpBuffer.get();
}

}  // namespace

Relay::Relay(Session& session, Policy policy) : m_session(session), m_policy(policy) { m_session.AddHandler(this); }

Relay::~Relay() { m_session.RemoveHandler(this); }

bool Relay::OwnsSocket(int hSocket) const {
  return hSocket >= 0 && (m_aSides[kClient].m_socket.Fd() == hSocket || m_aSides[kServer].m_socket.Fd() == hSocket);
}

bool Relay::Attach(Side side, Socket&& socket) {
  SideState& s = m_aSides[side];
  s.m_socket = std::move(socket);
  s.m_bExpected = false;
  s.m_bWasThere = true;
  // What came before the selection is announced by the loop's first read event.
  const bool bSelected = s.m_socket.Select(m_session.Handle(), FD_READ | FD_WRITE | FD_CLOSE);
  if (!bSelected) OnBroken(side, "select", errno);
  Run();
  return bSelected;
}

void Relay::Expect(Side side) { m_aSides[side].m_bExpected = true; }

void Relay::Abandon(Side side) {
  SideState& s = m_aSides[side];
  s.m_bExpected = false;
  s.m_queue.Clear();
  Run();
}

void Relay::Hold(Side side) { m_aSides[side].m_bHeld = true; }

void Relay::Release(Side side, bool bMayHaveBytes) {
  SideState& s = m_aSides[side];
  if (!s.m_bHeld) return;
  s.m_bHeld = false;
  s.m_bReadable = s.m_bReadable || bMayHaveBytes;
  Run();
}

bool Relay::Send(Side to, std::string_view sData) {
  SideState& s = m_aSides[to];
  if (m_bEnded || m_bClosing || s.m_bDropIncoming) return true;  // it goes nowhere, as everything for that side
  try {
    s.m_queue.Append(sData);
  } catch (const std::bad_alloc&) {
    OnBroken(to, "malloc", ENOMEM);
    OnBroken(Other(to), "malloc", ENOMEM);
    Run();
    return false;
  }
  Run();
  return true;
}

void Relay::SendFile(Side to, std::shared_ptr<const File> lpFile, int64_t nOffset, uint64_t cbLength) {
  SideState& s = m_aSides[to];
  if (m_bEnded || m_bClosing || s.m_bDropIncoming) return;
  s.m_queue.AppendFile(std::move(lpFile), nOffset, cbLength);
  Run();
}

void Relay::SetTap(Side from, ByteTap* lpTap) { m_aSides[from].m_lpTap = lpTap; }

void Relay::EndAfterSending(Side keep) {
  const Side other = Other(keep);
  SideState& o = m_aSides[other];
  if (o.m_lpTap && !o.m_bReadEnded) o.m_lpTap->OnEnd(false);
  o.m_bExpected = false;
  o.m_bReadEnded = true;
  o.m_bDropIncoming = true;
  o.m_queue.Clear();
  CloseSide(other);
  SideState& k = m_aSides[keep];
  if (k.m_lpTap && !k.m_bReadEnded) k.m_lpTap->OnEnd(false);
  // What the side still sends is read and dropped from now on: a client that sends a large
  // body without reading could otherwise never see the reply.
  k.m_bReadEnded = true;
  k.m_bHeld = false;
  k.m_bPaused = false;
  k.m_bReadable = true;
  k.m_bDiscarding = true;
  Run();
}

void Relay::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (m_bEnded) return;
  const Side side = m_aSides[kClient].m_socket.Fd() == hSocket ? kClient : kServer;
  SideState& s = m_aSides[side];
  if (dwEvent == FD_READ) {
    s.m_bReadable = true;
  } else if (dwEvent == FD_WRITE) {
    s.m_bWriteBlocked = false;
  } else if (dwEvent == FD_CLOSE) {
    if (dwError != 0) {
      OnBroken(side, "connection", static_cast<int>(dwError));
    } else if (s.m_bHeld) {
      // The session read the side to its end while reading its request.
      s.m_bSawEnd = true;
      OnReadEnded(side);
    } else {
      s.m_bReadable = true;  // the end is there to be read, behind any bytes still waiting
    }
  }
  Run();
}

void Relay::Run() {
  if (m_bEnded) return;
  if (m_bRunning) {
    m_bRunAgain = true;
    return;
  }
  m_bRunning = true;
  do {
    m_bRunAgain = false;
    Step();
  } while (m_bRunAgain && !m_bEnded);
  m_bRunning = false;
  CheckEnd();
}

void Relay::Step() {
  // What waits goes out before anything more is read: a read that fails must not cost the
  // bytes that were already on their way.
  Flush(kClient);
  Flush(kServer);
  Pump(kClient);
  Pump(kServer);
}

void Relay::Flush(Side to) {
  SideState& s = m_aSides[to];
  // A full socket says so with FD_WRITE: trying before that is a system call for nothing.
  if (!s.m_socket || s.m_bBroken || s.m_bWriteBlocked || s.m_queue.Empty()) return;
  uint64_t cbSent = 0;
  const OutputQueue::SendResult result = s.m_queue.SendTo(s.m_socket, &cbSent);
  if (cbSent) m_session.CountSent(cbSent);
  if (result == OutputQueue::SendResult::kFailed) {
    OnBroken(to, "send", errno);
    return;
  }
  s.m_bWriteBlocked = result == OutputQueue::SendResult::kBlocked;
  SideState& from = m_aSides[Other(to)];
  if (from.m_bPaused && s.m_queue.Pending() <= kLowWater) {
    from.m_bPaused = false;
    m_bRunAgain = true;
  }
}

void Relay::Pump(Side from) {
  SideState& s = m_aSides[from];
  if (!s.m_socket || s.m_bHeld || !s.m_bReadable || s.m_bPaused) return;
  if (s.m_bDiscarding) {
    Discard(from);
    return;
  }
  if (s.m_bReadEnded) return;
  const Side to = Other(from);
  while (s.m_socket && !s.m_bReadEnded) {
    if (m_aSides[to].m_queue.Pending() >= kHighWater) {
      s.m_bPaused = true;
      return;
    }
    switch (MoveChunk(from)) {
      case Move::kMore:
        continue;
      case Move::kEmpty:
        s.m_bReadable = false;
        return;
      case Move::kEnd:
        s.m_bReadable = false;
        s.m_bSawEnd = true;
        OnReadEnded(from);
        return;
      case Move::kWait:
      case Move::kFailed:
        return;
    }
  }
}

void Relay::Discard(Side from) {
  SideState& s = m_aSides[from];
  char* lpScratch = LargeBuffer();  // not the stack: every frame a session thread grows stays resident
  for (int nRead = 0; nRead < kDiscardReadsPerEvent; ++nRead) {
    const long n = s.m_socket.Recv(lpScratch, kTapChunk);
    if (n > 0) {
      m_session.CountReceived(static_cast<uint64_t>(n));
      continue;
    }
    s.m_bReadable = false;
    if (n == 0) s.m_bSawEnd = true;
    if (n < 0 && !WouldBlock(errno)) OnBroken(from, "recv", errno);
    return;
  }
}

Relay::Move Relay::MoveChunk(Side from) {
  SideState& s = m_aSides[from];
  const Side to = Other(from);
  OutputQueue& queue = m_aSides[to].m_queue;
  if (!s.m_lpTap && queue.CanPipe()) {
    const size_t cbRoom = queue.PipeRoom();
    if (cbRoom == 0) {
      s.m_bPaused = true;  // reading resumes once the pipe has drained
      return Move::kWait;
    }
    const long nMoved = queue.PipeFrom(s.m_socket, cbRoom);
    if (nMoved == 0) return Move::kEnd;
    if (nMoved < 0 && !WouldBlock(errno)) {
      OnBroken(from, "splice", errno);
      return Move::kFailed;
    }
    if (nMoved > 0) {
      m_session.CountReceived(static_cast<uint64_t>(nMoved));
      Flush(to);
      if (static_cast<size_t>(nMoved) == cbRoom) return Move::kMore;
    }
    // Short, or nothing: the socket is empty, or the pipe ran out of slots before the socket ran
    // out of bytes. Only an empty pipe tells the two apart (the next read finds out); otherwise
    // reading resumes once the pipe has drained.
    if (queue.Pending() == 0) return nMoved > 0 ? Move::kMore : Move::kEmpty;
    s.m_bPaused = true;
    return Move::kWait;
  }
  const size_t cbChunk = s.m_lpTap ? kTapChunk : kReadChunk;
  char small[kSmallChunk];
  char* buffer = small;
  long nRead = s.m_socket.Recv(small, sizeof small);
  if (nRead == static_cast<long>(sizeof small)) {
    buffer = LargeBuffer();
    std::memcpy(buffer, small, sizeof small);
    const long nMore = s.m_socket.Recv(buffer + sizeof small, cbChunk - sizeof small);
    if (nMore > 0) {
      nRead += nMore;
    } else if (nMore < 0 && !WouldBlock(errno)) {
      nRead = -1;
    }
  }
  if (nRead <= 0) {
    if (nRead == 0) return Move::kEnd;
    if (WouldBlock(errno)) return Move::kEmpty;
    OnBroken(from, "recv", errno);
    return Move::kFailed;
  }
  const size_t cbRead = static_cast<size_t>(nRead);
  m_session.CountReceived(cbRead);
  if (s.m_lpTap) {
    s.m_lpTap->OnBytes(buffer, cbRead);
    if (m_bEnded || s.m_bReadEnded) return Move::kFailed;  // the tap ended the relay
  }
  if (!m_aSides[to].m_bDropIncoming) {
    try {
      queue.Append(std::string_view(buffer, cbRead));
    } catch (const std::bad_alloc&) {
      OnBroken(to, "malloc", ENOMEM);
      OnBroken(from, "malloc", ENOMEM);
      return Move::kFailed;
    }
    Flush(to);
  }
  const bool bFull = cbRead == (buffer == small ? sizeof small : cbChunk);
  if (!bFull) return Move::kEmpty;  // a short read emptied the socket
  if (!s.m_lpTap) queue.WantPipe();  // a full chunk: a bulk transfer, which goes through a pipe from now on
  return Move::kMore;
}

void Relay::OnReadEnded(Side from) {
  SideState& s = m_aSides[from];
  s.m_bReadEnded = true;
  if (s.m_lpTap) s.m_lpTap->OnEnd(true);
  if (m_policy != Policy::kWhole) return;
  SideState& o = m_aSides[Other(from)];
  if (o.m_bReadEnded) return;
  // The other side's end may be waiting already behind bytes not read yet (reading it was
  // paused): it ended first, or at the same time, and everything it sent is delivered too.
  if (o.m_socket && o.m_socket.PeerHungUp()) return;
  if (o.m_lpTap) o.m_lpTap->OnEnd(false);
  o.m_bReadEnded = true;
  o.m_bReadable = false;
  s.m_queue.Clear();  // bytes for the side that left go nowhere
  s.m_bDropIncoming = true;
}

void Relay::OnBroken(Side side, const char* lpCall, int nError) {
  m_session.NoteEnd(lpCall, nError);
  SideState& s = m_aSides[side];
  if (s.m_lpTap && !s.m_bReadEnded) s.m_lpTap->OnEnd(false);
  s.m_bBroken = true;
  s.m_bReadEnded = true;
  s.m_bReadable = false;
  s.m_bDropIncoming = true;
  s.m_queue.Clear();
  // What the other side sends could only go to this one.
  SideState& o = m_aSides[Other(side)];
  if (o.m_lpTap && !o.m_bReadEnded) o.m_lpTap->OnEnd(false);
  o.m_bReadEnded = true;
  if (!o.m_bDiscarding) o.m_bReadable = false;
}

bool Relay::SourceEnded(Side side) const {
  const SideState& s = m_aSides[side];
  return s.m_bReadEnded || (!s.m_socket && !s.m_bExpected && !s.m_bHeld);
}

bool Relay::Delivered(Side to) const {
  const SideState& s = m_aSides[to];
  return s.m_queue.Empty() || s.m_bBroken || s.m_bDropIncoming || (!s.m_socket && !s.m_bExpected);
}

void Relay::CheckEnd() {
  if (m_bEnded) return;
  if (m_bClosing) {
    FinishIfClosed();
    return;
  }
  if (m_policy == Policy::kHalf) {
    for (Side to : {kClient, kServer}) {
      SideState& s = m_aSides[to];
      const Side from = Other(to);
      if (s.m_socket && !s.m_bWriteShut && !s.m_bBroken && s.m_queue.Empty() && m_aSides[from].m_bWasThere &&
          SourceEnded(from)) {
        s.m_socket.ShutdownWrite();  // the end of the stream is passed on
        s.m_bWriteShut = true;
      }
    }
  }
  if (SourceEnded(kClient) && SourceEnded(kServer) && Delivered(kClient) && Delivered(kServer)) BeginClosing();
}

void Relay::BeginClosing() {
  m_bClosing = true;
  for (Side side : {kClient, kServer}) {
    SideState& s = m_aSides[side];
    if (!s.m_socket) continue;
    if (s.m_bBroken || s.m_bSawEnd) {
      CloseSide(side);  // nothing more can come from it, so closing sends no reset
    } else {
      // Only the client may be reading a page or the server's last bytes still; once the
      // relay ends, whatever a server would send has no reader.
      s.m_socket.CloseGracefully(kLingerMs, side == kClient ? LingerUntil::kPeerEnd : LingerUntil::kAcknowledged);
    }
  }
  FinishIfClosed();
}

void Relay::CloseSide(Side side) {
  SideState& s = m_aSides[side];
  s.m_socket.Close();
  s.m_queue.Clear();
  s.m_bReadable = false;
}

void Relay::FinishIfClosed() {
  if (m_bEnded || !m_bClosing || Has(kClient) || Has(kServer)) return;
  m_bEnded = true;
  m_session.OnRelayEnded(*this);
}

}  // namespace harbix
