// Process priority classes and thread priorities, mapped to nice values: a class gives the base
// (idle 19, normal 0, high -10, real time -20) and a thread priority an offset from it. Failures
// (no privilege) are ignored.
#pragma once

#include <sys/types.h>

namespace harbix {

enum class ThreadPriority { BelowNormal, Normal, AboveNormal, Highest };

// Sets the class (32 normal, 64 idle, 128 high, 256 real time; anything else is normal) and
// re-applies it to every thread that has a priority of its own.
void SetProcessPriorityClass(int nClass);
int NiceForClass(int nClass);

// Gives the calling thread a priority (and remembers it for class changes).
void SetCurrentThreadPriority(ThreadPriority priority);
// The same for another thread of this process, by its kernel thread id.
void SetThreadPriority(pid_t nKernelTid, ThreadPriority priority);
// Forgets a thread that ends.
void ForgetThreadPriority(pid_t nKernelTid);

}  // namespace harbix
