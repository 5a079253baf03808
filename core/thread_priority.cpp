// The worker's priority: above normal, so that the stream's pacing holds while the user
// interface is busy. Where the process may not raise it (Linux without CAP_SYS_NICE or an
// RLIMIT_NICE allowance), the worker simply runs at normal priority.
#include "core/thread_priority.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace varnet {

void UsePreciseTimers() {
#if defined(__linux__)
  // The slack is per thread, in nanoseconds; 1 is the smallest (0 would mean "the default").
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

bool RaiseCurrentThreadPriority() {
  UsePreciseTimers();
#if defined(_WIN32)
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL) != 0;
#elif defined(__linux__)
  // On Linux the nice value is per thread when addressed by thread id.
  const id_t thread = static_cast<id_t>(gettid());
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, thread);
  if (current == -1 && errno != 0) return false;
  return setpriority(PRIO_PROCESS, thread, current - 1) == 0;
#else
  return false;
#endif
}

}  // namespace varnet
