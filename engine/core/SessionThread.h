// A thread that hosts one session at a time when a service serves each client on a thread of
// its own. When its session ends it reports to the service and can be handed the next one, so
// a busy service does not pay for a new thread per connection.
#pragma once

#include <atomic>
#include <memory>

#include "engine/core/Session.h"
#include "platform/Thread.h"

namespace harbix {

class SessionThread : public Thread {
 public:
  // Session threads do little but relay; a small stack lets thousands of them run.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr size_t kStackSize = 2 * 1024 * 1024;
#else
  static constexpr size_t kStackSize = 256 * 1024;
#endif

  SessionThread(ThreadId service, SessionFactory factory);
  ~SessionThread() override;

  // From the service thread: host this session next. Its session-finished message (wParam =
  // the session id) goes to the service when it ends. False when the thread cannot take it
  // (the context, with its socket, is then closed).
  bool Assign(SessionContext&& context);
  // The service ends the thread itself: a session still running is destroyed without a
  // session-finished message.
  void StopByService();

 protected:
  int Run() override;

 private:
  ThreadId m_service;
  SessionFactory m_factory;
  std::atomic<bool> m_bStoppedByService{false};
};

}  // namespace harbix
