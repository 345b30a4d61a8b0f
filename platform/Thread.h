// A thread with a message loop of its own. It is created suspended: its queue exists at once
// (messages can be posted to it), but its body runs only after Resume.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <condition_variable>

#include "platform/Messages.h"
#include "platform/Priority.h"

namespace harbix {

class Thread {
 public:
  Thread() = default;
  virtual ~Thread();  // the thread must have been joined (or never created)
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the OS thread, which waits for Resume. cbStack 0 takes the system default.
  bool Create(size_t cbStack = 0);
  void Resume();
  // Waits for the thread to end. Resumes a thread that still waits, so it can see its quit.
  void Join();
  // Joins a thread that has ended already, without waiting; true when it is joined.
  bool TryJoin();
  bool Joinable() const { return m_bCreated && !m_bJoined; }

  ThreadId Id() const { return m_tid; }
  // Takes effect at once when the thread runs, otherwise when it starts.
  void SetPriority(ThreadPriority priority);

 protected:
  // The thread's body, with its MessageLoop current. Returns the exit code.
  virtual int Run() = 0;

 private:
  static void* Entry(void* lpArg);

  pthread_t m_thread{};
  ThreadId m_tid = 0;
  bool m_bCreated = false;
  bool m_bJoined = false;
  std::atomic<pid_t> m_nKernelTid{0};
  std::atomic<ThreadPriority> m_priority{ThreadPriority::Normal};
  std::mutex m_startLock;
  std::condition_variable m_startSignal;
  bool m_bStarted = false;
};

}  // namespace harbix
