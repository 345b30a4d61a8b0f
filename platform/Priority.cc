#include "platform/Priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unordered_map>

namespace harbix {
namespace {

constexpr int kNiceMin = -20;
constexpr int kNiceMax = 19;

struct PriorityTable {
  std::mutex lock;
  std::unordered_map<pid_t, ThreadPriority> threads;
  int nBaseNice = 0;
};

PriorityTable& Table() {
  static PriorityTable* lpTable = new PriorityTable();
  return *lpTable;
}

int Offset(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::BelowNormal: return 1;
    case ThreadPriority::Normal: return 0;
    case ThreadPriority::AboveNormal: return -1;
    case ThreadPriority::Highest: return -2;
  }
  return 0;
}

void Apply(pid_t nTid, int nBaseNice, ThreadPriority priority) {
  const int nNice = std::clamp(nBaseNice + Offset(priority), kNiceMin, kNiceMax);
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(nTid), nNice);  // may fail without privilege
}

}  // namespace

int NiceForClass(int nClass) {
  switch (nClass) {
    case 64: return 19;
    case 128: return -10;
    case 256: return -20;
    default: return 0;
  }
}

void SetProcessPriorityClass(int nClass) {
  PriorityTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.nBaseNice = NiceForClass(nClass);
  for (const auto& [nTid, priority] : table.threads) Apply(nTid, table.nBaseNice, priority);
}

void SetThreadPriority(pid_t nKernelTid, ThreadPriority priority) {
  if (nKernelTid <= 0) return;
  PriorityTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.threads[nKernelTid] = priority;
  Apply(nKernelTid, table.nBaseNice, priority);
}

void SetCurrentThreadPriority(ThreadPriority priority) { SetThreadPriority(::gettid(), priority); }

void ForgetThreadPriority(pid_t nKernelTid) {
  PriorityTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.threads.erase(nKernelTid);
}

}  // namespace harbix
