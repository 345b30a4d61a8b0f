#include "engine/core/RelaySession.h"

#include <algorithm>
#include <cerrno>
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
  if (end.m_queue.Empty() || !end.m_socket) return;
  const long nSent = end.m_socket.Send(end.m_queue.Data(), end.m_queue.Size());
  if (nSent < 0) {
    // Would-block (a full buffer, or a connect still under way) waits for FD_WRITE.
    if (!WouldBlock(errno)) Finish();
    return;
  }
  CountSent(static_cast<uint64_t>(nSent));
  end.m_queue.Consume(static_cast<size_t>(nSent));
  // The other end was stopped because this queue was full; let it read again.
  End& from = Other(end);
  if (from.m_bPaused && end.m_queue.Size() <= kLowWater) {
    from.m_bPaused = false;
    PostSelf(WM_SOCKET_EVENT, static_cast<uintptr_t>(from.m_socket.Fd()), MakeSelectLParam(FD_READ, 0));
  }
}

void RelaySession::Pump(End& from, End& to, size_t cbChunk) {
  char buffer[kReadChunk];
  cbChunk = std::min(cbChunk, sizeof buffer);
  while (!Closing() && from.m_socket) {
    if (to.m_queue.Size() >= kHighWater) {
      from.m_bPaused = true;
      return;
    }
    const int nWaiting = from.m_socket.Available();
    if (nWaiting < 0) {
      Finish();
      return;
    }
    if (nWaiting == 0) return;
    const long nRead = from.m_socket.Recv(buffer, std::min(cbChunk, static_cast<size_t>(nWaiting)));
    if (nRead <= 0) {
      if (nRead < 0 && !WouldBlock(errno)) Finish();
      return;  // the end of the stream comes as FD_CLOSE
    }
    CountReceived(static_cast<uint64_t>(nRead));
    if (!Enqueue(to, buffer, static_cast<size_t>(nRead))) return;
  }
}

void RelaySession::RelayEvent(int hSocket, uint32_t dwEvent, uint32_t dwError, size_t cbClientChunk) {
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
      if (!Closing() && !lpEnd->m_bPaused) Pump(*lpEnd, Other(*lpEnd), lpEnd == &m_client ? cbClientChunk : kReadChunk);
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
  closing.m_bPaused = false;
  DrainStep();
}

void RelaySession::DrainStep() {
  End& from = *m_lpDrainFrom;
  End& to = Other(from);
  char buffer[kReadChunk];
  while (!Closing() && from.m_socket && to.m_queue.Size() < kHighWater) {
    const long nRead = from.m_socket.Recv(buffer, sizeof buffer);
    if (nRead > 0) {
      CountReceived(static_cast<uint64_t>(nRead));
      if (!Enqueue(to, buffer, static_cast<size_t>(nRead))) return;
      continue;
    }
    // The peer has closed, so nothing more will come: an empty read means it is all here.
    from.m_socket.Close();
  }
  if (Closing()) return;
  SendStep(to);
  if (!from.m_socket && (to.m_queue.Empty() || !to.m_socket)) CloseBoth();
}

void RelaySession::SendAndClose(const std::string& sText) {
  Enqueue(m_client, sText.data(), sText.size());
  m_server.m_socket.Close();
  BeginDrain(m_server);
}

void RelaySession::CloseBoth() {
  for (End* lpEnd : {&m_client, &m_server}) {
    lpEnd->m_socket.Shutdown();
    lpEnd->m_socket.Close();
    lpEnd->m_queue.Clear();
  }
  Finish();
}

}  // namespace harbix
