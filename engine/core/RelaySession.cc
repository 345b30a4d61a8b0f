#include "engine/core/RelaySession.h"

#include "engine/core/EngineMessages.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

namespace harbix {
namespace {
bool WouldBlock(int nError) { return nError == EAGAIN || nError == EWOULDBLOCK; }
}  // namespace

RelaySession::End* RelaySession::EndOf(int hSocket) {
  if (hSocket < 0) return nullptr;
  if (m_client.m_socket.Fd() == hSocket) return &m_client;
  if (m_server.m_socket.Fd() == hSocket) return &m_server;
  return nullptr;
}

bool RelaySession::AttachClient() {
  m_client.m_socket = std::move(m_context.m_client);
  if (m_client.m_socket.Select(Handle(), FD_READ | FD_WRITE | FD_CLOSE)) return true;
  Finish();
  return false;
}

RelaySession::ConnectStep RelaySession::ConnectServer(uint32_t dwIp, uint16_t wPort) {
  Socket server = Socket::Tcp();
  if (!server) return ConnectStep::kSocket;
  if (!server.Bind(0, 0)) return ConnectStep::kBind;
  if (!server.Select(Handle(), FD_WRITE | FD_CONNECT) || server.Connect(dwIp, wPort) != 0) return ConnectStep::kConnect;
  m_server.m_socket = std::move(server);
  return ConnectStep::kDone;
}

bool RelaySession::Enqueue(End& to, const char* lpData, size_t cbData) {
  try {
    to.m_queue.Append(lpData, cbData);
  } catch (const std::bad_alloc&) {
    Finish();
    return false;
  }
  SendStep(to);
  return !Closing();
}

void RelaySession::SendStep(End& end) {
  if (!end.m_socket) return;
  if (!end.m_queue.Empty()) {
    const long nSent = end.m_socket.Send(end.m_queue.Data(), end.m_queue.Size());
    if (nSent < 0) {
      // Would-block (a full buffer, or a connect still under way) waits for FD_WRITE.
      if (!WouldBlock(errno)) Finish();
      return;
    }
    CountSent(static_cast<uint64_t>(nSent));
    end.m_queue.Consume(static_cast<size_t>(nSent));
  }
  if (end.m_queue.Empty() && end.m_cbPiped > 0) {
    const long nSent = end.m_socket.SpliceOut(end.m_pipe, end.m_cbPiped);
    if (nSent < 0) {
      if (!WouldBlock(errno)) Finish();
      return;
    }
    CountSent(static_cast<uint64_t>(nSent));
    end.m_cbPiped -= static_cast<size_t>(nSent);
  }
  // The other end was stopped because this side was backed up; let it read again.
  End& from = Other(end);
  if (from.m_bPaused && end.Pending() <= kLowWater) {
    from.m_bPaused = false;
    PostSelf(WM_SOCKET_EVENT, static_cast<uintptr_t>(from.m_socket.Fd()), MakeSelectLParam(FD_READ, 0));
  }
}

RelaySession::Move RelaySession::MoveChunk(End& from, End& to, size_t cbChunk) {
  if (to.m_pipe && to.m_queue.Empty()) {
    const size_t cbRoom = to.m_pipe.Capacity() - std::min(to.m_pipe.Capacity(), to.m_cbPiped);
    const long nMoved = cbRoom ? from.m_socket.SpliceIn(to.m_pipe, cbRoom) : -1;
    if (nMoved > 0) {
      CountReceived(static_cast<uint64_t>(nMoved));
      to.m_cbPiped += static_cast<size_t>(nMoved);
      SendStep(to);
      if (static_cast<size_t>(nMoved) == cbRoom) return Move::kMore;
    } else if (nMoved == 0) {
      return Move::kEnd;
    } else if (cbRoom && !WouldBlock(errno)) {
      Finish();
      return Move::kFailed;
    }
    // Short or nothing: the socket is empty, or the pipe ran out of slots before bytes. In the
    // second case reading resumes when the pipe has drained.
    if (to.m_cbPiped > 0) from.m_bPaused = true;
    return Move::kEmpty;
  }
  // Small exchanges are read on the stack; the full-size buffer, on the heap and the thread's,
  // is taken only once a read fills the small one. A session thread spends most of its life
  // idle, and every page it has touched stays resident.
  char small[kSmallChunk];
  const size_t cbFirst = std::min(cbChunk, sizeof small);
  long nRead = from.m_socket.Recv(small, cbFirst);
  char* buffer = small;
  if (nRead == static_cast<long>(cbFirst) && cbChunk > cbFirst) {
    thread_local std::unique_ptr<char[]> t_lpBuffer;
    if (!t_lpBuffer) t_lpBuffer = std::make_unique_for_overwrite<char[]>(kReadChunk);
    buffer = t_lpBuffer.get();
    std::memcpy(buffer, small, cbFirst);
    const long nMore = from.m_socket.Recv(buffer + cbFirst, std::min(cbChunk, kReadChunk) - cbFirst);
    if (nMore > 0) nRead += nMore;
    cbChunk = std::min(cbChunk, kReadChunk);
  } else {
    cbChunk = cbFirst;
  }
  if (nRead <= 0) {
    if (nRead == 0) return Move::kEnd;
    if (WouldBlock(errno)) return Move::kEmpty;
    Finish();
    return Move::kFailed;
  }
  CountReceived(static_cast<uint64_t>(nRead));
  if (!Enqueue(to, buffer, static_cast<size_t>(nRead))) return Move::kFailed;
  if (static_cast<size_t>(nRead) < cbChunk) return Move::kEmpty;  // a short read emptied the socket
  // A full chunk: this is a bulk transfer, which from now on goes through a pipe.
  if (!to.m_pipe && !to.m_bNoPipe) to.m_bNoPipe = !to.m_pipe.Open(kBulkPipe);
  return Move::kMore;
}

void RelaySession::Pump(End& from, End& to, size_t cbChunk) {
  while (!Closing() && from.m_socket) {
    if (to.Pending() >= kHighWater) {
      from.m_bPaused = true;
      return;
    }
    // The end of the stream comes as FD_CLOSE.
    if (MoveChunk(from, to, cbChunk) != Move::kMore) return;
  }
}

void RelaySession::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == WM_TIMER) {
    OnIdleTimer(wParam);
    return;
  }
  if (message == WM_HOST_RESOLVED) {
    if (!Over()) OnResolved(lParam);
    return;
  }
  if (message != WM_SOCKET_EVENT) return;
  const int hSocket = static_cast<int>(wParam);
  const uint32_t dwEvent = SelectEvent(lParam);
  const uint32_t dwError = SelectError(lParam);
  if (dwEvent == FD_CONNECT) {
    if (Draining()) {
      // The client left while the connect was under way: what it sent goes out with the
      // FD_WRITE that follows a good connect; a failed one has nowhere to deliver it.
      if (dwError != 0) CloseBoth();
    } else if (!Closing()) {
      OnConnect(hSocket, dwError);
    }
    return;
  }
  if (!Relaying() && hSocket == m_client.m_socket.Fd() && !Draining()) {
    if (dwEvent == FD_CLOSE) {
      CloseBoth();  // a client that leaves before relaying has nothing to deliver
      return;
    }
    if (dwEvent == FD_READ) {
      if (!Closing() && dwError == 0) OnClientRequest();
      return;
    }
  }
  RelayEvent(hSocket, dwEvent, dwError);
}

void RelaySession::OnConnect(int hSocket, uint32_t dwError) {
  if (hSocket != m_server.m_socket.Fd()) return;
  if (dwError != 0 || !m_server.m_socket.Select(Handle(), FD_READ | FD_WRITE | FD_CLOSE)) {
    m_server.m_socket.Close();
    Finish();
  }
}

void RelaySession::RelayEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  End* lpEnd = EndOf(hSocket);
  if (dwEvent == FD_CLOSE) {
    if (!lpEnd) {
      CloseBoth();  // a close for a socket that is not (or no longer) ours ends at once
      return;
    }
    BeginDrain(*lpEnd);
    return;
  }
  if (!lpEnd) return;
  if (Draining()) {
    if (dwEvent == FD_WRITE) SendStep(*lpEnd);
    if (dwEvent == FD_READ || dwEvent == FD_WRITE) DrainStep();
    return;
  }
  if (dwError) {
    Finish();
    return;
  }
  switch (dwEvent) {
    case FD_READ:
      if (!Closing() && !lpEnd->m_bPaused) Pump(*lpEnd, Other(*lpEnd), lpEnd == &m_client ? ClientChunk() : kReadChunk);
      break;
    case FD_WRITE:
      SendStep(*lpEnd);
      break;
    default:
      break;
  }
}

void RelaySession::BeginDrain(End& closing) {
  if (Draining()) {
    // The other side closed as well: nobody is left to deliver to.
    if (&closing != m_lpDrainFrom) CloseBoth();
    return;
  }
  m_lpDrainFrom = &closing;
  closing.m_queue.Clear();  // bytes for the side that left go nowhere
  closing.m_pipe.Close();
  closing.m_cbPiped = 0;
  closing.m_bPaused = false;
  DrainStep();
}

void RelaySession::DrainStep() {
  End& from = *m_lpDrainFrom;
  End& to = Other(from);
  from.m_bPaused = false;
  while (!Closing() && from.m_socket && to.Pending() < kHighWater) {
    const Move move = MoveChunk(from, to, kReadChunk);
    if (move == Move::kFailed) return;
    if (move == Move::kMore) continue;
    // The peer has closed, so nothing more will come: an empty read means it is all here,
    // unless a full pipe stopped the move (then the next FD_WRITE on `to` goes on).
    if (move == Move::kEmpty && from.m_bPaused) break;
    from.m_socket.Close();
  }
  if (Closing()) return;
  SendStep(to);
  if (!from.m_socket && (to.Pending() == 0 || !to.m_socket)) CloseBoth();
}

void RelaySession::SendAndClose(const std::string& sText) {
  Enqueue(m_client, sText.data(), sText.size());
  m_server.m_socket.Close();
  BeginDrain(m_server);
}

void RelaySession::CloseBoth() {
  for (End* lpEnd : {&m_client, &m_server}) {
    lpEnd->m_socket.Close();
    lpEnd->m_queue.Clear();
    lpEnd->m_pipe.Close();
    lpEnd->m_cbPiped = 0;
  }
  Finish();
}

}  // namespace harbix
