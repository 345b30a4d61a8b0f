#include "platform/Thread.h"

#include <unistd.h>

#include "platform/MessageLoop.h"

namespace harbix {

Thread::~Thread() {
  if (Joinable()) Join();  // last resort; owners join explicitly
}

bool Thread::Create(size_t cbStack) {
  m_tid = MessageLoop::ReserveThreadId();
  if (!m_tid) return false;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (cbStack) pthread_attr_setstacksize(&attributes, cbStack);
  const bool bOk = pthread_create(&m_thread, &attributes, &Thread::Entry, this) == 0;
  pthread_attr_destroy(&attributes);
  if (!bOk) {
    MessageLoop::ReleaseThreadId(m_tid);
    m_tid = 0;
    return false;
  }
  m_bCreated = true;
  return true;
}

void Thread::Resume() {
  std::lock_guard<std::mutex> guard(m_startLock);
  m_bStarted = true;
  m_startSignal.notify_one();
}

void Thread::Join() {
  if (!Joinable()) return;
  Resume();
  pthread_join(m_thread, nullptr);
  m_bJoined = true;
}

bool Thread::TryJoin() {
  if (!Joinable()) return true;
  if (pthread_tryjoin_np(m_thread, nullptr) != 0) return false;
  m_bJoined = true;
  return true;
}

void Thread::SetPriority(ThreadPriority priority) {
  if (m_priority.exchange(priority) == priority && m_nKernelTid.load()) return;  // already so
  if (const pid_t nTid = m_nKernelTid.load()) harbix::SetThreadPriority(nTid, priority);
}

void* Thread::Entry(void* lpArg) {
  auto* lpThread = static_cast<Thread*>(lpArg);
  {
    std::unique_lock<std::mutex> guard(lpThread->m_startLock);
    lpThread->m_startSignal.wait(guard, [&] { return lpThread->m_bStarted; });
  }
  const pid_t nTid = ::gettid();
  lpThread->m_nKernelTid.store(nTid);
  harbix::SetThreadPriority(nTid, lpThread->m_priority.load());
  {
    // The queue and poller were made when the thread was created, so this loop cannot fail.
    MessageLoop loop(lpThread->m_tid);
    if (loop.Valid()) lpThread->Run();
  }
  ForgetThreadPriority(nTid);
  lpThread->m_nKernelTid.store(0);
  return nullptr;
}

}  // namespace harbix
