#include "kestrix/thread.h"

#include "private/function_thread_p.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

// The C interface runs functions without arguments: they talk to the test
// through these.
std::atomic<int> s_calls{0};
std::atomic<int> s_finished{0};
std::atomic<bool> s_gate{true};
std::atomic<bool> s_entered{false};
mutex s_shared;
long s_counter = 0;

void countCall()
{
    ++s_calls;
}

// Waits for the gate, then counts itself finished.
void gatedCall()
{
    s_entered = true;
    ++s_calls;
    while (!s_gate.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++s_finished;
}

void addUnderLock()
{
    for (int i = 0; i < 20000; ++i) {
        mutex_lock(s_shared);
        ++s_counter;
        mutex_unlock(s_shared);
    }
}

void shortWork()
{
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ++s_finished;
}

template <typename Predicate>
bool eventually(Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Threads : public ::testing::Test
{
protected:
    void SetUp() override
    {
        s_calls = 0;
        s_finished = 0;
        s_gate = true;
        s_entered = false;
        s_counter = 0;
    }
};

} // namespace

TEST_F(Threads, CreateAloneNeverCallsTheFunction)
{
    thread t = thread_create(countCall);
    ASSERT_NE(t.ptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(s_calls.load(), 0);
    thread_destroy(t);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(s_calls.load(), 0);
}

TEST_F(Threads, StartThenWaitRunsTheFunctionOncePerStart)
{
    thread t = thread_create(countCall);
    thread_start(t);
    thread_wait(t);
    EXPECT_EQ(s_calls.load(), 1);

    thread_start(t);
    thread_wait(t);
    EXPECT_EQ(s_calls.load(), 2);
    thread_destroy(t);
}

TEST_F(Threads, WaitReturnsOnlyAfterTheFunctionReturned)
{
    s_gate = false;
    thread t = thread_create(gatedCall);
    thread_start(t);
    std::thread opener([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        s_gate = true;
    });
    thread_wait(t);
    EXPECT_EQ(s_finished.load(), 1);
    opener.join();
    thread_destroy(t);
}

TEST_F(Threads, SecondStartWhileRunningDoesNothing)
{
    s_gate = false;
    thread t = thread_create(gatedCall);
    thread_start(t);
    ASSERT_TRUE(eventually([] { return s_entered.load(); }));
    thread_start(t);
    s_gate = true;
    thread_wait(t);
    // Give a wrongly started second run the time to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(s_calls.load(), 1);
    EXPECT_EQ(s_finished.load(), 1);
    thread_destroy(t);
}

TEST_F(Threads, DestroyWhileRunningNeitherBlocksNorFreesUnderTheFunction)
{
    s_gate = false;
    thread t = thread_create(gatedCall);
    thread_start(t);
    ASSERT_TRUE(eventually([] { return s_entered.load(); }));
    // Returns although the function is held at the gate.
    thread_destroy(t);
    s_gate = true;
    EXPECT_TRUE(eventually([] { return s_finished.load() == 1; }));
}

TEST_F(Threads, CreateStartDestroyAtOnceManyTimes)
{
    constexpr int Rounds = 300;
    for (int i = 0; i < Rounds; ++i) {
        thread t = thread_create(shortWork);
        thread_start(t);
        thread_destroy(t);
    }
    EXPECT_TRUE(eventually([] { return s_finished.load() == Rounds; }));
}

TEST_F(Threads, NullHandlesToDestroyDoNothing)
{
    thread noThread;
    noThread.ptr = nullptr;
    mutex noMutex;
    noMutex.ptr = nullptr;
    EXPECT_EXIT(
        {
            thread_destroy(noThread);
            mutex_destroy(noMutex);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Threads, TrylockHeldByAnotherThreadReturnsZeroAtOnce)
{
    mutex m = mutex_create();
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        mutex_lock(m);
        held = true;
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        mutex_unlock(m);
    });
    ASSERT_TRUE(eventually([&] { return held.load(); }));

    // "At once": it returns while the holder still holds the mutex.
    EXPECT_EQ(mutex_trylock(m), 0);
    release = true;
    holder.join();

    EXPECT_EQ(mutex_trylock(m), 1);
    // Now held by this thread: another thread cannot take it.
    int fromOther = -1;
    std::thread other([&] { fromOther = mutex_trylock(m); });
    other.join();
    EXPECT_EQ(fromOther, 0);
    mutex_unlock(m);
    mutex_destroy(m);
}

TEST_F(Threads, LockKeepsThreadsOutOfEachOther)
{
    s_shared = mutex_create();
    thread first = thread_create(addUnderLock);
    thread second = thread_create(addUnderLock);
    thread_start(first);
    thread_start(second);
    thread_wait(first);
    thread_wait(second);
    EXPECT_EQ(s_counter, 40000);
    thread_destroy(first);
    thread_destroy(second);
    mutex_destroy(s_shared);
}

TEST_F(Threads, FunctionThreadIsAThreadRunningItsFunction)
{
    Thread *t = new FunctionThread(countCall);
    t->start();
    t->join();
    EXPECT_EQ(s_calls.load(), 1);
    delete t;
}
