// A C++ program that times itself with the standard library only: a sleep,
// a condition variable's timed waits, futures, a thread, the system clock.
// Prints microseconds.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

int main()
{
    using namespace std::chrono;
    using std::chrono::duration_cast;
    const auto start = steady_clock::now();
    const auto wallStart = system_clock::now();

    std::this_thread::sleep_for(seconds(3));
    const auto slept = steady_clock::now();
    std::printf("sleep_for %lld\n", (long long)duration_cast<microseconds>(slept - start).count());

    std::mutex lock;
    std::condition_variable never;
    std::unique_lock<std::mutex> guard(lock);
    const bool timedOut = never.wait_for(guard, milliseconds(1500)) == std::cv_status::timeout;
    const auto waited = steady_clock::now();
    std::printf("wait_for %lld %s\n", (long long)duration_cast<microseconds>(waited - slept).count(),
                timedOut ? "timeout" : "woken");

    never.wait_until(guard, system_clock::now() + milliseconds(250));
    std::printf("wait_until %lld\n", (long long)duration_cast<microseconds>(steady_clock::now() - waited).count());
    guard.unlock();

    // A thread that sleeps on its own while this one waits for it.
    std::thread sleeper([] { std::this_thread::sleep_until(steady_clock::now() + milliseconds(500)); });
    const auto joinStart = steady_clock::now();
    sleeper.join();
    std::printf("join %lld\n", (long long)duration_cast<microseconds>(steady_clock::now() - joinStart).count());

    // A future nobody fulfils, then one a sleeping thread fulfils.
    std::promise<void> unkept;
    auto futureStart = steady_clock::now();
    const bool expired = unkept.get_future().wait_for(milliseconds(750)) == std::future_status::timeout;
    std::printf("future_timeout %lld %s\n",
                (long long)duration_cast<microseconds>(steady_clock::now() - futureStart).count(),
                expired ? "timeout" : "ready");
    auto answer = std::async(std::launch::async, [] {
        std::this_thread::sleep_for(milliseconds(200));
        return 42;
    });
    futureStart = steady_clock::now();
    const bool answered = answer.wait_for(seconds(5)) == std::future_status::ready;
    std::printf("future_ready %lld %s\n",
                (long long)duration_cast<microseconds>(steady_clock::now() - futureStart).count(),
                answered ? "ready" : "timeout");

    std::printf("system_clock %lld\n",
                (long long)duration_cast<microseconds>(system_clock::now() - wallStart).count());
    return 0;
}
