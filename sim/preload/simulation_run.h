// The run that every process of one robot's program shares, and the locks
// of the memory it lives in. Private to the simulation's files.
#ifndef KESTRIX_SIM_SIMULATION_RUN_H
#define KESTRIX_SIM_SIMULATION_RUN_H

#include "fakes/fake_device.h"
#include "preload/simulation.h"

#include <atomic>
#include <cstdint>

#include <pthread.h>

namespace kxsim {

inline int lockShared(pthread_mutex_t *mutex)
{
    // The C library's own: a process waiting here for another is busy, not
    // idle, as far as its virtual clock is concerned.
    static const auto s_lock = nextFunction<int (*)(pthread_mutex_t *)>("pthread_mutex_lock");
    return s_lock(mutex);
}

inline void unlockShared(pthread_mutex_t *mutex)
{
    static const auto s_unlock = nextFunction<int (*)(pthread_mutex_t *)>("pthread_mutex_unlock");
    s_unlock(mutex);
}


// The one coprocessor of a run that several processes share (a launcher and
// the program it starts): whichever process holds the lock brings the model
// up to its clock's time, so the model always follows the latest clock.
struct Simulation::SharedRun
{
    static constexpr std::uint32_t Magic = 0x4B585232; // "KXR2"

    std::atomic<std::uint32_t> magic; // set once the first process set it up
    pthread_mutex_t lock;             // process-shared and robust
    std::int64_t startUs;
    std::int64_t scaledStartNs, scaledStartMonoNs;
    RegisterFile registers;
    Model::Snapshot model;
    Physics::Snapshot physics;
    std::uint64_t nextEvent;
    std::int64_t nextTraceUs;
    std::uint64_t exchanges;
    std::uint32_t traceLost; // a row could not be written: no more rows
    std::uint64_t generation; // counts the releases: unchanged, ours is current
};

// Where a match's block puts the robots' runs.
constexpr std::size_t MatchRunsOffset = (sizeof(MatchBlock) + 63) / 64 * 64;

inline Simulation::SharedRun *matchRuns(MatchBlock *match)
{
    return reinterpret_cast<Simulation::SharedRun *>(reinterpret_cast<char *>(match) + MatchRunsOffset);
}

} // namespace kxsim

#endif
