#include "engine/core/Session.h"

#include <algorithm>
#include <cstring>

#include "common/AccessList.h"
#include "common/Text.h"
#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"
#include "platform/Trace.h"

namespace harbix {
namespace {
// Timer ids handed to the parts of a session start here, clear of the session's own (501).
constexpr uint32_t kFirstPartTimerId = 600;
}  // namespace

Session::Session(SessionContext&& context)
    : m_context(std::move(context)),
      m_qwId(m_context.m_qwId),
      m_lpCounters(m_context.m_lpCounters),
      m_lpConfig(m_context.m_lpConfig),
      m_nNextTimerId(kFirstPartTimerId) {
  m_vHandlers.reserve(4);  // a relay, a connect or two: one allocation for a session's parts
}

Session::~Session() {
  if (!m_bClosing) NoteEnd("stopped by the service");
  if (!m_bFinishPosted) TraceEnd();
}

void Session::TraceEnd() const {
  if (!TraceEnabled() || m_sEndReason.empty()) return;
  Trace("session %llu (%s %s:%u): %s", static_cast<unsigned long long>(m_qwId), m_context.m_sServiceName.c_str(),
        FormatIp(m_context.m_peer.m_dwIp).c_str(), m_context.m_peer.m_wPort, m_sEndReason.c_str());
}

void Session::AddHandler(SocketHandler* lpHandler) { m_vHandlers.push_back(lpHandler); }

void Session::RemoveHandler(SocketHandler* lpHandler) { std::erase(m_vHandlers, lpHandler); }

size_t Session::ReadRequestPiece(Socket& socket, std::span<char> buffer) {
  const long nRead = socket.Recv(buffer.data(), buffer.size());
  if (nRead < 0 && !WouldBlock(errno)) {
    NoteEnd("recv", errno);
    Finish();
  }
  if (nRead <= 0) return 0;
  CountReceived(static_cast<uint64_t>(nRead));
  return static_cast<size_t>(nRead);
}

size_t Session::ReadRequestLine(Socket& socket, std::span<char> buffer) {
  const long nSeen = socket.Peek(buffer.data(), buffer.size());
  if (nSeen < 0 && !WouldBlock(errno)) {
    NoteEnd("recv", errno);
    Finish();
  }
  if (nSeen <= 0) return 0;
  const size_t cbTake = LineLength(std::string_view(buffer.data(), static_cast<size_t>(nSeen)));
  // What the peek saw is there: taking less of it cannot fail short.
  return ReadRequestPiece(socket, buffer.first(cbTake));
}

void Session::NoteEnd(const char* lpCall, int nError) {
  if (TraceEnabled() && m_sEndReason.empty()) {
    m_sEndReason = std::string(lpCall) + "() failed (" + std::to_string(nError) + ": " + std::strerror(nError) + ")";
  }
}

void Session::NoteEnd(std::string_view sReason) {
  if (TraceEnabled() && m_sEndReason.empty()) m_sEndReason = sReason;
}

void Session::OnRelayEnded(Relay& /*relay*/) { Finish(); }

void Session::OnIdleExpired() { Finish(); }

void Session::Finish() {
  m_bClosing = true;
  if (m_bFinishPosted || m_bQuiet) return;
  m_bFinishPosted = true;
  NoteEnd("done");
  TraceEnd();
  MessageLoop::PostThreadMessage(m_context.m_owner, WM_SESSION_FINISHED, static_cast<uintptr_t>(m_qwId));
}

void Session::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == WM_TIMER) {
    const auto nId = static_cast<uint32_t>(wParam);
    if (nId == kIdleTimerId) {
      OnIdleTimer();
      return;
    }
    for (SocketHandler* lpHandler : m_vHandlers) {
      if (lpHandler->OnTimer(nId)) return;
    }
    return;
  }
  if (message == WM_SOCKET_EVENT) {
    OnSocketEvent(static_cast<int>(wParam), SelectEvent(lParam), SelectError(lParam));
    return;
  }
  OnMessage(message, wParam, lParam);
}

void Session::OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) { RouteSocketEvent(hSocket, dwEvent, dwError); }

void Session::RouteSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) {
  if (m_bClosing) return;
  for (SocketHandler* lpHandler : m_vHandlers) {
    if (lpHandler->OwnsSocket(hSocket)) {
      lpHandler->OnSocketEvent(hSocket, dwEvent, dwError);
      return;
    }
  }
  // A socket no part owns any more (closed since the event was raised): nothing to do.
}

void Session::StartIdleCheck(uint32_t dwFirstMs) {
  m_bIdleFirstTick = true;
  m_qwIdleSent = m_qwIdleReceived = 0;
  SetTimer(kIdleTimerId, dwFirstMs);
}

void Session::OnIdleTimer() {
  if (m_bClosing) return;
  if (m_bIdleFirstTick) {
    m_bIdleFirstTick = false;
    if (Received() == 0) {
      NoteEnd("idle: nothing received");
      Finish();
    } else {
      SetTimer(kIdleTimerId, kIdlePeriodMs);
    }
    return;
  }
  const uint64_t qwSent = Sent();
  const uint64_t qwReceived = Received();
  if (!m_bNoIdle && qwSent == m_qwIdleSent && qwReceived == m_qwIdleReceived) {
    NoteEnd("idle: nothing moved");
    OnIdleExpired();
  } else {
    m_qwIdleSent = qwSent;
    m_qwIdleReceived = qwReceived;
  }
}

SessionHandle& SessionHandle::operator=(SessionHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    m_lpSession = std::move(other.m_lpSession);
  }
  return *this;
}

bool SessionHandle::Start() {
  if (!m_lpSession) return false;
  if (m_lpSession->Create()) return true;
  Reset();
  return false;
}

void SessionHandle::Reset() {
  if (!m_lpSession) return;
  m_lpSession->SetQuiet();
  m_lpSession->Destroy();
  m_lpSession.reset();
}

}  // namespace harbix
