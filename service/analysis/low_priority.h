// Background work (scans again, retro-hunts) that must not slow look-ups.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// Low priority for the calling thread and those it starts later: the
// scheduler's idle class, which runs only on a core nothing else wants, and
// the lowest nice value where the idle class is refused.
inline void lower_thread_priority()
{
    sched_param none{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &none) != 0)
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}
