// The calling process's id, asked of the kernel once per process: the
// simulation checks it at every exchange, every sleep and every turn of a
// match's clock, and a system call each time cost a tenth of a run's time.
// The process that forks must call forgetProcessId() in its child
// (pthread_atfork), which then asks again.
#ifndef KESTRIX_SIM_PROCESS_ID_H
#define KESTRIX_SIM_PROCESS_ID_H

#include <atomic>

#include <sys/types.h>
#include <unistd.h>

namespace kxsim {

inline std::atomic<pid_t> g_processId{0};

inline void forgetProcessId()
{
    g_processId.store(0, std::memory_order_relaxed);
}

inline pid_t processId()
{
    pid_t pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = ::getpid();
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

} // namespace kxsim

#endif
