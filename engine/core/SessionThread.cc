#include "engine/core/SessionThread.h"

#include "engine/core/Connections.h"
#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"

namespace harbix {
namespace {

// Thread message to a session thread: host the session whose context wParam points to.
constexpr uint32_t WM_START_SESSION = WM_USER + 30;

}  // namespace

SessionThread::SessionThread(ThreadId service, SessionFactory factory)
    : m_service(service), m_factory(std::move(factory)) {}

SessionThread::~SessionThread() { Join(); }

bool SessionThread::Assign(SessionContext&& context) {
  auto lpContext = std::make_unique<SessionContext>(std::move(context));
  if (!MessageLoop::PostThreadMessage(Id(), WM_START_SESSION, reinterpret_cast<uintptr_t>(lpContext.get()))) return false;
  lpContext.release();  // the thread owns it now
  return true;
}

void SessionThread::StopByService() {
  m_bStoppedByService.store(true);
  SetPriority(ThreadPriority::Highest);
  MessageLoop::PostThreadMessage(Id(), WM_QUIT);
}

int SessionThread::Run() {
  MessageLoop& loop = *MessageLoop::Current();
  SessionHandle session;
  uint64_t qwSession = 0;
  auto endSession = [&] {
    session.Reset();
    MessageLoop::PostThreadMessage(m_service, WM_SESSION_FINISHED, static_cast<uintptr_t>(qwSession));
  };
  Message msg;
  while (loop.GetMessage(&msg)) {
    if (msg.hwnd == 0 && msg.message == WM_START_SESSION) {
      std::unique_ptr<SessionContext> lpContext(reinterpret_cast<SessionContext*>(msg.wParam));
      qwSession = lpContext->m_qwId;
      lpContext->m_owner = Id();
      session = SessionHandle(m_factory(std::move(*lpContext)));
      if (session.Start()) {
        Connections().CountSession();  // made: it counts (an interlocked add, no message)
      } else {
        endSession();
      }
      continue;
    }
    if (msg.hwnd == 0 && msg.message == WM_SESSION_FINISHED && session && msg.wParam == qwSession) {
      endSession();
      continue;
    }
    loop.DispatchMessage(msg);
  }
  if (session) {
    if (m_bStoppedByService.load()) {
      session.Reset();
    } else {
      endSession();
    }
  }
  // Sessions handed over but never started: their sockets close here.
  while (loop.PeekMessage(&msg)) {
    if (msg.hwnd == 0 && msg.message == WM_START_SESSION) delete reinterpret_cast<SessionContext*>(msg.wParam);
  }
  return 0;
}

}  // namespace harbix
