#include "engine/core/Session.h"

#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"

namespace harbix {

Session::Session(SessionContext&& context)
    : m_context(std::move(context)),
      m_qwId(m_context.m_qwId),
      m_lpCounters(m_context.m_lpCounters),
      m_lpConfig(m_context.m_lpConfig) {}

Session::~Session() = default;

void Session::Finish() {
  m_bClosing = true;
  if (m_bFinishPosted || m_bQuiet) return;
  m_bFinishPosted = true;
  MessageLoop::PostThreadMessage(m_context.m_owner, WM_SESSION_FINISHED, static_cast<uintptr_t>(m_qwId));
}

void Session::StartIdleCheck(uint32_t dwFirstMs) {
  m_bIdleFirstTick = true;
  m_qwIdleSent = m_qwIdleReceived = 0;
  SetTimer(kIdleTimerId, dwFirstMs);
}

bool Session::OnIdleTimer(uintptr_t nTimerId) {
  if (nTimerId != kIdleTimerId) return false;
  if (m_bClosing) return true;
  if (m_bIdleFirstTick) {
    m_bIdleFirstTick = false;
    if (Received() == 0) {
      Finish();
    } else {
      SetTimer(kIdleTimerId, kIdlePeriodMs);
    }
    return true;
  }
  const uint64_t qwSent = Sent();
  const uint64_t qwReceived = Received();
  if (qwSent == m_qwIdleSent && qwReceived == m_qwIdleReceived) {
    Finish();
  } else {
    m_qwIdleSent = qwSent;
    m_qwIdleReceived = qwReceived;
  }
  return true;
}

}  // namespace harbix
