// A mutex wait with a time limit, as the counters of a service use it: writers give up after
// 3 s and the engine's reader after 500 ms, skipping that one update.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>

namespace harbix {

// Takes the lock within the limit, or gives up. The locks it serves are held for microseconds,
// so polling costs nothing in practice, and it keeps to the plain mutex operations that every
// tool (ThreadSanitizer among them) understands.
inline bool TryLockFor(std::mutex& lock, std::chrono::milliseconds limit) {
  if (lock.try_lock()) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (lock.try_lock()) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace harbix
