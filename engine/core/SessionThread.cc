#include "engine/core/SessionThread.h"

#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"

namespace harbix {

SessionThread::SessionThread(ThreadId service, SessionFactory factory, SessionContext&& context)
    : m_service(service), m_factory(std::move(factory)), m_context(std::move(context)), m_qwSessionId(m_context.m_qwId) {}

SessionThread::~SessionThread() { Join(); }

void SessionThread::StopByService() {
  m_bFinished.store(true);
  m_bStoppedByService.store(true);
  SetPriority(ThreadPriority::Highest);
  MessageLoop::PostThreadMessage(Id(), WM_QUIT);
}

int SessionThread::Run() {
  MessageLoop& loop = *MessageLoop::Current();
  m_context.m_owner = Id();
  std::unique_ptr<Session> lpSession;
  if (!m_bFinished.load()) {
    lpSession = m_factory(std::move(m_context));
    if (lpSession && !lpSession->Create()) lpSession.reset();
  }
  if (lpSession) {
    Message msg;
    while (loop.GetMessage(&msg)) {
      if (msg.hwnd == 0 && msg.message == WM_SESSION_FINISHED && msg.wParam == m_qwSessionId) break;
      loop.DispatchMessage(msg);
    }
    lpSession->SetQuiet();
    lpSession->Destroy();
    lpSession.reset();
  }
  m_bFinished.store(true);
  if (!m_bStoppedByService.load()) {
    MessageLoop::PostThreadMessage(m_service, WM_SESSION_FINISHED, static_cast<uintptr_t>(m_qwSessionId));
  }
  return 0;
}

}  // namespace harbix
