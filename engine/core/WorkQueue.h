// A thread of its own for slow work that must not hold up a thread that relays (disk work: the
// cache's index, its maintenance, a copy between file systems). Jobs run one after another, in
// the order they were posted; results go back with MessageLoop::PostTask.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace harbix {

class WorkQueue {
 public:
  WorkQueue() = default;
  // Runs what is still queued, then joins.
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  // The thread starts with the first job.
  void Post(std::function<void()> job);
  // Waits until every job posted so far has run.
  void Drain();

 private:
  void Work();

  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<std::function<void()>> m_jobs;
  bool m_bBusy = false;
  bool m_bStopping = false;
  std::thread m_thread;
};

}  // namespace harbix
