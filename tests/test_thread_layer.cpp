#include "private/thread_p.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace {

// A thread whose run() waits until the test lets it finish.
class GatedThread : public Thread
{
public:
    GatedThread(std::atomic<int> &runs, std::atomic<int> &destroyed, std::atomic<bool> &gate)
        : m_runs(runs), m_destroyed(destroyed), m_gate(gate)
    {
    }
    ~GatedThread() override { ++m_destroyed; }

    void run() override
    {
        while (!m_gate.load())
            std::this_thread::yield();
        ++m_runs;
    }

private:
    std::atomic<int> &m_runs;
    std::atomic<int> &m_destroyed;
    std::atomic<bool> &m_gate;
};

template <typename Predicate>
bool eventually(Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

TEST(ThreadLayer, StartWhileRunningDoesNothingAndRestartAfterFinishRunsAgain)
{
    std::atomic<int> runs{0}, destroyed{0};
    std::atomic<bool> gate{false};
    GatedThread thread(runs, destroyed, gate);

    thread.start();
    thread.start();
    EXPECT_TRUE(thread.isRunning());
    gate = true;
    thread.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(thread.isRunning());

    thread.start();
    thread.join();
    EXPECT_EQ(runs.load(), 2);
}

TEST(ThreadLayer, JoinWithoutStartReturnsAtOnce)
{
    std::atomic<int> runs{0}, destroyed{0};
    std::atomic<bool> gate{true};
    GatedThread thread(runs, destroyed, gate);
    thread.join();
    EXPECT_EQ(runs.load(), 0);
}

TEST(ThreadLayer, DestroyWhenDoneOnARunningThreadDeletesItAfterRunReturns)
{
    std::atomic<int> runs{0}, destroyed{0};
    std::atomic<bool> gate{false};
    auto *thread = new GatedThread(runs, destroyed, gate);
    thread->start();
    thread->destroyWhenDone();
    EXPECT_EQ(destroyed.load(), 0) << "deleted while its run() was still going";
    gate = true;
    EXPECT_TRUE(eventually([&] { return destroyed.load() == 1; }));
    EXPECT_EQ(runs.load(), 1);
}

TEST(ThreadLayer, DestroyWhenDoneOnAnIdleThreadDeletesAtOnce)
{
    std::atomic<int> runs{0}, destroyed{0};
    std::atomic<bool> gate{true};
    auto *thread = new GatedThread(runs, destroyed, gate);
    thread->destroyWhenDone();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(ThreadLayer, MutexTryLockFailsWhileAnotherThreadHoldsIt)
{
    Mutex mutex;
    mutex.lock();
    bool taken = true;
    std::thread other([&] { taken = mutex.tryLock(); });
    other.join();
    EXPECT_FALSE(taken);
    mutex.unlock();
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
}
