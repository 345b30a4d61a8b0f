// A thread that hosts one session when a service serves each client on a thread of its own.
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

  SessionThread(ThreadId service, SessionFactory factory, SessionContext&& context);
  ~SessionThread() override;

  uint64_t SessionId() const { return m_qwSessionId; }
  bool Finished() const { return m_bFinished.load(); }
  // The service ends the session itself: no session-finished message follows.
  void StopByService();

 protected:
  int Run() override;

 private:
  ThreadId m_service;
  SessionFactory m_factory;
  SessionContext m_context;
  uint64_t m_qwSessionId;
  std::atomic<bool> m_bFinished{false};
  std::atomic<bool> m_bStoppedByService{false};
};

}  // namespace harbix
