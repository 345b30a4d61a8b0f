#include "engine/core/WorkQueue.h"

namespace harbix {

WorkQueue::~WorkQueue() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bStopping = true;
  }
  m_changed.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void WorkQueue::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_jobs.push_back(std::move(job));
    if (!m_thread.joinable()) m_thread = std::thread([this] { Work(); });
  }
  m_changed.notify_all();
}

void WorkQueue::Drain() {
  std::unique_lock<std::mutex> guard(m_lock);
  m_changed.wait(guard, [this] { return m_jobs.empty() && !m_bBusy; });
}

void WorkQueue::Work() {
  std::unique_lock<std::mutex> guard(m_lock);
  while (true) {
    m_changed.wait(guard, [this] { return !m_jobs.empty() || m_bStopping; });
    if (m_jobs.empty()) return;  // stopping, and nothing is left
    std::function<void()> job = std::move(m_jobs.front());
    m_jobs.pop_front();
    m_bBusy = true;
    guard.unlock();
    job();
    guard.lock();
    m_bBusy = false;
    m_changed.notify_all();
  }
}

}  // namespace harbix
