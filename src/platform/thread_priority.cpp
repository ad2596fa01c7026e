#include "platform/thread_priority.h"
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
std::atomic<bool> g_realtimeRefused{false};
} // namespace

kyThreadPriority kyRaiseAudioThreadPriority() {
    if (!g_realtimeRefused.load()) {
        // A modest real-time priority: above every normal thread, below the kernel's own
        // and the sound server's.
        sched_param param{};
        const int lo = sched_get_priority_min(SCHED_FIFO);
        const int hi = sched_get_priority_max(SCHED_FIFO);
        param.sched_priority = std::clamp(lo + 9, lo, hi);
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
            return kyThreadPriority::Realtime;
        g_realtimeRefused = true;
    }
    // Nice values apply per thread on Linux: the lowest this user is allowed.
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    errno = 0;
    const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) return kyThreadPriority::Unchanged;
    for (int nice = -20; nice < before; ++nice)
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0)
            return kyThreadPriority::Raised;
    return kyThreadPriority::Unchanged;
}

void kyResetAudioThreadPriorityRefusal() {
    g_realtimeRefused = false;
}
